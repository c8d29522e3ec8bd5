// Containers (see container.h) written to a file piece by piece, for
// content too large to hold whole: the same bytes as containerEncode gives
// for the same input, made with about 1 MiB of memory whatever the size.
// Any thread may call these; each call uses only its own buffers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "base/status.h"

namespace quor {

// Largest value either length of the header holds.
inline constexpr uint64_t kMaxContainerLength = UINT32_MAX;

// Bytes read from the source, and written to the output, at a time.
inline constexpr size_t kContainerPieceSize = size_t(256) << 10;

// Supplies the bytes to compress in order: fills up to capacity bytes of
// buffer and sets *got, 0 only at the end. A failure ends the encoding and
// is returned as it is.
using ContainerSource = std::function<Status(uint8_t* buffer, size_t capacity, size_t* got)>;

// Writes one container of the given type holding everything source
// supplies to outputPath, replacing it as writeFileAtomically does. Deflate
// runs with compress2's parameters at level 9; the header is written last,
// over a placeholder, once both lengths are known. Fails with the source's
// status, "cannot write <outputPath>: ...", "zlib: out of memory", "zlib:
// not enough space in the buffer to compress" for a body longer than
// maxLength (as containerEncode does), or "the input is larger than a
// container holds"; outputPath is then left as it was. maxLength is
// lowered only by tests.
Status containerEncodeToFile(uint32_t type, const ContainerSource& source,
                             const std::string& outputPath,
                             uint64_t maxLength = kMaxContainerLength);

// The same with inputPath's content, read in pieces; an input that cannot
// be read fails with "cannot read <inputPath>: ...".
Status containerEncodeFile(uint32_t type, const std::string& inputPath,
                           const std::string& outputPath);

}  // namespace quor
