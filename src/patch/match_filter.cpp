#include "patch/match_filter.h"

#include <algorithm>
#include <cstring>

namespace quor {
namespace {

// The table has at least this many bits per indexed string: with two bit
// positions per string a string not in the old file then passes about one
// time in 64, and a position (kStep strings) one time in 16.
constexpr int64_t kBitsPerString = 16;
constexpr int kMinBits = 12;

uint64_t gramHash(const uint8_t* gram) {
  static_assert(MatchFilter::kGram >= 8, "the hash reads 8-byte words");
  uint64_t h = 0;
  // Words at 0, 8, 16, ..., the last one ending with the string.
  for (int64_t at = 0; at < MatchFilter::kGram; at += 8) {
    uint64_t word;
    std::memcpy(&word, gram + std::min<int64_t>(at, MatchFilter::kGram - 8), 8);
    h = (h ^ word) * 0x9E3779B97F4A7C15u;
    h ^= h >> 31;
  }
  h *= 0xBF58476D1CE4E5B9u;
  return h ^ (h >> 32);
}

int tableBits(int64_t oldLength) {
  int64_t strings = oldLength / MatchFilter::kStep + 1;
  int bits = kMinBits;
  while ((int64_t(1) << bits) < strings * kBitsPerString) ++bits;
  return bits;
}

uint64_t firstBit(uint64_t hash, int bits) { return hash >> (64 - bits); }
uint64_t secondBit(uint64_t hash, int bits) { return (hash * 0x94D049BB133111EBu) >> (64 - bits); }

void setBit(uint8_t* table, uint64_t bit) { table[bit >> 3] = uint8_t(table[bit >> 3] | 1u << (bit & 7)); }
bool bitSet(const uint8_t* table, uint64_t bit) { return (table[bit >> 3] >> (bit & 7) & 1) != 0; }

}  // namespace

size_t MatchFilter::tableSize(int64_t oldLength) {
  return size_t(1) << (tableBits(oldLength) - 3);
}

MatchFilter::MatchFilter(uint8_t* table, const uint8_t* old, int64_t oldLength,
                         const uint8_t* newData, int64_t newLength)
    : table_(table), bits_(tableBits(oldLength)), newData_(newData), newLength_(newLength) {
  std::memset(table_, 0, tableSize(oldLength));
  for (int64_t at = 0; at + kGram <= oldLength; at += kStep) {
    uint64_t hash = gramHash(old + at);
    setBit(table_, firstBit(hash, bits_));
    setBit(table_, secondBit(hash, bits_));
  }
}

bool MatchFilter::holds(const uint8_t* gram) const {
  uint64_t hash = gramHash(gram);
  return bitSet(table_, firstBit(hash, bits_)) && bitSet(table_, secondBit(hash, bits_));
}

bool MatchFilter::mayMatchAt(int64_t position) {
  if (position + kMinMatch > newLength_) return false;
  // A match of kMinMatch bytes at position holds an indexed string whole,
  // met at one of the kStep positions from position on.
  if (hashed_ < position) hashed_ = position;
  for (; hashed_ < position + kStep; ++hashed_) {
    if (holds(newData_ + hashed_)) lastHit_ = hashed_;
  }
  return lastHit_ >= position;
}

}  // namespace quor
