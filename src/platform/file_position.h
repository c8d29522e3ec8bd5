// Positions in files beyond 2 GiB: the C library's fseek takes a long,
// which is 32 bits on Windows.
#pragma once

#include <cstdint>
#include <cstdio>

namespace quor {

// Moves file's position to offset bytes from its start; 0 on success.
int seekFile(FILE* file, uint64_t offset);

}  // namespace quor
