// A filter over the old file that tells the diff's scan where in the new
// file no match of at least kMinMatch bytes can start, so the scan spends
// no suffix array search there: in files with big changes most positions
// of the new file have no such match, and each search costs some 25
// random reads of the old file and its suffix array.
//
// The filter holds the kGram-byte strings that start at every kStep-th
// position of the old file, as a Bloom filter with two bit positions per
// string. Any match of kMinMatch bytes covers one of those strings whole,
// so the filter never says no where such a match exists; it says yes,
// wrongly, for about 1 position in 16 of a new file unlike the old one,
// and rightly where the files share 28 bytes but not kMinMatch. Long
// strings and a short step matter most in much edited code, where the
// old alignment keeps matching runs of 20 to 30 bytes.
//
// Memory: half a byte per old byte, rounded up to a power of two. Building
// reads the old file once; each position of the new file is hashed once
// as the scan moves forward. Not for use by several threads at once.
#pragma once

#include <cstddef>
#include <cstdint>

namespace quor {

class MatchFilter {
 public:
  static constexpr int64_t kGram = 28;
  static constexpr int64_t kStep = 4;
  // The shortest match the filter answers for: kGram + kStep − 1.
  static constexpr int64_t kMinMatch = kGram + kStep - 1;

  // Bytes of bit table for an old file of oldLength bytes.
  static size_t tableSize(int64_t oldLength);

  // table: tableSize(oldLength) bytes, zeroed here; it must outlive the
  // filter. The new file is read from the positions the scan asks about.
  MatchFilter(uint8_t* table, const uint8_t* old, int64_t oldLength, const uint8_t* newData,
              int64_t newLength);

  // Whether a match of kMinMatch bytes may start at position of the new
  // file. Positions must be asked in order, never decreasing.
  bool mayMatchAt(int64_t position);

 private:
  bool holds(const uint8_t* gram) const;

  uint8_t* table_;
  int bits_;  // the table holds 2^bits_ bits
  const uint8_t* newData_;
  int64_t newLength_;
  int64_t hashed_ = 0;    // positions of the new file below this were looked up
  int64_t lastHit_ = -1;  // the last of them the filter holds, −1 for none
};

}  // namespace quor
