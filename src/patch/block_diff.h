// Patch creation in bounded memory, for files whose suffix array would not
// fit (see bsdiffMemory in diff.h). The old file is indexed by blocks: a
// hash table holds the position of every blockSize-th old byte under the
// hash of the block starting there. The new file is scanned once: where
// the current alignment stops matching, the block at the scan position is
// looked up and a verified match is extended forward byte by byte; a match
// is taken when it beats the current alignment by more than a margin, and
// the gaps between matches are split by the same approximate-match rule
// as the suffix-array method (patch/extension.h). Any match of at least
// 2 × blockSize − 1 bytes is found. The patch has today's format.
//
// Cost: the table (4 bytes per slot, at least two slots per block) and
// the container encoder's buffers; the old and new file are read in place
// and never copied. Time is linear in both files. Same inputs, same bytes.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "base/byte_stream.h"
#include "base/status.h"

namespace quor {

// How a patch of files of given lengths is made within a memory budget
// (memory beyond the old and new file themselves).
enum class DiffMethod {
  kSuffixArray,  // bsdiff (diff.h): the smallest patches
  kBlockIndex,   // the block index below
  kNone,         // not even the coarsest block index fits
};

DiffMethod chooseDiffMethod(uint64_t oldLength, uint64_t newLength, uint64_t memoryBudget);

// The smallest block size (a power of two from 16 to 4096) whose index of
// an old file of oldLength bytes fits memoryBudget, or 0 when none does.
uint32_t blockSizeWithin(uint64_t oldLength, uint64_t memoryBudget);

// Memory the block method takes for an old file of oldLength bytes and
// that block size: the table and the encoder's buffers.
uint64_t blockDiffMemory(uint64_t oldLength, uint32_t blockSize);

// The patch body of old → newData by the block method with that block
// size, as a source to be read to its end (the files must outlive it).
// Fails with kOutOfMemory when the table cannot be had.
Status openBlockDiff(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                     uint32_t newLength, uint32_t blockSize, std::unique_ptr<ByteSource>* body);

// Writes the patch of old → newData as a binary_patch container to
// outputPath (replaced as writeFileAtomically does), by the block method
// with the smallest block size that memoryBudget allows. kTooLarge when
// none fits; the container encoder's failures as they are.
Status blockDiffToFile(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                       uint32_t newLength, uint64_t memoryBudget, const std::string& outputPath);

}  // namespace quor
