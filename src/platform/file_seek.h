// Moving in a file opened with openFile to any position a 64-bit size
// allows: std::fseek takes a long, which is 32 bits on Windows.
#pragma once

#include <cstdint>
#include <cstdio>

namespace quor {

// True when the next read or write of file starts at position.
bool seekFile(FILE* file, uint64_t position);

}  // namespace quor
