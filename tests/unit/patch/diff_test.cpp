#include "patch/diff.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <random>
#include <sstream>

#include "container/container.h"
#include "patch/patch.h"
#include "patch/suffix_sort.h"
#include "patch_test_helpers.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::randomOver;

struct Record {
  int64_t diffLength;
  int64_t extraLength;
  int64_t oldSeek;
  Bytes diff;
  Bytes extra;
};

struct Body {
  uint32_t newLength = 0;
  std::vector<Record> records;
  Bytes bytes;
};

std::string makePatch(const Bytes& old, const Bytes& newData) {
  std::ostringstream out;
  EXPECT_TRUE(bsdiff(old.data(), uint32_t(old.size()), newData.data(), uint32_t(newData.size()),
                     out).ok());
  return out.str();
}

Bytes patchBody(const std::string& container) {
  std::optional<Bytes> body = testing::decodedContainer(binary_patch, container);
  EXPECT_TRUE(body.has_value());
  return body.value_or(Bytes{});
}

// Splits a body into its records; the body must be well formed.
Body parseBody(const Bytes& bytes) {
  Body body;
  body.bytes = bytes;
  EXPECT_GE(bytes.size(), kPatchHeaderSize);
  EXPECT_EQ(0, std::memcmp(bytes.data(), patchMagic, kPatchMagicSize));
  body.newLength = ByteReader(bytes.data(), bytes.size(), kPatchMagicSize).u32();
  size_t at = kPatchHeaderSize;
  while (at + kControlSize <= bytes.size()) {
    Record record;
    record.diffLength = readOffset(&bytes[at]);
    record.extraLength = readOffset(&bytes[at + 8]);
    record.oldSeek = readOffset(&bytes[at + 16]);
    at += kControlSize;
    EXPECT_LE(at + size_t(record.diffLength + record.extraLength), bytes.size());
    record.diff.assign(bytes.begin() + long(at), bytes.begin() + long(at + record.diffLength));
    at += size_t(record.diffLength);
    record.extra.assign(bytes.begin() + long(at), bytes.begin() + long(at + record.extraLength));
    at += size_t(record.extraLength);
    body.records.push_back(record);
  }
  EXPECT_EQ(at, bytes.size());
  return body;
}

Bytes applyPatch(const Bytes& old, const std::string& container) {
  Bytes body = patchBody(container);
  std::optional<Bytes> result =
      testing::patched(old.data(), uint32_t(old.size()), body.data(), uint32_t(body.size()));
  EXPECT_TRUE(result.has_value());
  return result.value_or(Bytes{});
}

// Something like an executable: code made of a small set of instruction
// patterns with operands, tables of addresses, and text.
Bytes structuredBinary(size_t size, uint32_t seed) {
  std::mt19937 random(seed);
  std::vector<Bytes> instructions;
  for (int i = 0; i < 24; ++i) instructions.push_back(testing::randomBytes(1 + i % 5, seed + i));
  const char* words[] = {"texture", "player", "map", "sound", "update", "quor", "mesh", "load"};
  Bytes out;
  while (out.size() < size) {
    switch (random() % 3) {
      case 0:
        for (int count = 100 + random() % 400; count > 0; --count) {
          const Bytes& op = instructions[random() % instructions.size()];
          out.insert(out.end(), op.begin(), op.end());
          if (random() % 2) {
            uint32_t operand = random() % 4096;
            for (int b = 0; b < 4; ++b) out.push_back(uint8_t(operand >> (8 * b)));
          }
        }
        break;
      case 1: {
        uint32_t address = random();
        for (int count = 20 + random() % 200; count > 0; --count, address += 16 + random() % 64) {
          for (int b = 0; b < 4; ++b) out.push_back(uint8_t(address >> (8 * b)));
        }
        break;
      }
      default:
        for (int count = 10 + random() % 60; count > 0; --count) {
          std::string word = words[random() % 8];
          out.insert(out.end(), word.begin(), word.end());
          out.push_back(random() % 4 ? ' ' : 0);
        }
    }
  }
  out.resize(size);
  return out;
}

// The next version of a structured binary: blocks kept (with scattered
// byte edits), shifted (every 32-bit word moved by a constant, as when
// addresses change), removed, and new blocks inserted.
Bytes revise(const Bytes& old, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out;
  size_t at = 0;
  while (at < old.size()) {
    size_t length = std::min<size_t>(old.size() - at, 1000 + random() % 15000);
    Bytes block(old.begin() + long(at), old.begin() + long(at + length));
    at += length;
    switch (random() % 10) {
      case 0:
        continue;  // removed
      case 1: {
        Bytes inserted = structuredBinary(500 + random() % 5000, random());
        out.insert(out.end(), inserted.begin(), inserted.end());
        break;
      }
      case 2:
        for (size_t i = 0; i + 4 <= block.size(); i += 4) block[i] = uint8_t(block[i] + 0x40);
        break;
      default:
        for (size_t i = random() % 700; i < block.size(); i += 1 + random() % 700) {
          block[i] = uint8_t(random());
        }
    }
    out.insert(out.end(), block.begin(), block.end());
  }
  return out;
}

size_t wholeFileContainerSize(const Bytes& data) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(generic, data.data(), uint32_t(data.size()), out).ok());
  return out.str().size();
}

TEST(Diff, BsdiffIdenticalFilesGiveOneRecord) {
  for (size_t size : {size_t(1), size_t(17), size_t(100000)}) {
    Bytes data = structuredBinary(size, 3);
    std::string container = makePatch(data, data);
    EXPECT_EQ(container.substr(0, 32), compressedTag(binary_patch));
    Body body = parseBody(patchBody(container));
    EXPECT_EQ(body.newLength, size);
    ASSERT_EQ(body.records.size(), 1u);
    const Record& record = body.records[0];
    EXPECT_EQ(record.diffLength, int64_t(size));
    EXPECT_EQ(record.extraLength, 0);
    EXPECT_EQ(record.oldSeek, 0);  // nothing follows
    EXPECT_EQ(record.diff, Bytes(size, 0));
  }
}

TEST(Diff, BsdiffEmptyOldFileGivesOneExtraRecord) {
  Bytes newData = structuredBinary(5000, 4);
  Body body = parseBody(patchBody(makePatch({}, newData)));
  ASSERT_EQ(body.records.size(), 1u);
  EXPECT_EQ(body.records[0].diffLength, 0);
  EXPECT_EQ(body.records[0].extraLength, 5000);
  EXPECT_EQ(body.records[0].oldSeek, 0);
  EXPECT_EQ(body.records[0].extra, newData);
}

TEST(Diff, BsdiffEmptyNewFileGivesTheHeaderAlone) {
  for (const Bytes& old : {Bytes{}, structuredBinary(3000, 5)}) {
    Bytes body = patchBody(makePatch(old, {}));
    ASSERT_EQ(body.size(), kPatchHeaderSize);
    EXPECT_EQ(0, std::memcmp(body.data(), patchMagic, kPatchMagicSize));
    EXPECT_EQ(ByteReader(body.data(), body.size(), kPatchMagicSize).u32(), 0u);
    std::optional<Bytes> applied = testing::patched(old.data(), uint32_t(old.size()),
                                                    body.data(), uint32_t(body.size()));
    ASSERT_TRUE(applied.has_value());
    EXPECT_TRUE(applied->empty());
  }
}

TEST(Diff, BsdiffRandomDataRoundTrips) {
  struct Pair {
    Bytes old;
    Bytes newData;
  };
  std::vector<Pair> pairs;
  pairs.push_back({testing::randomBytes(20000, 10), testing::randomBytes(30000, 11)});
  pairs.push_back({testing::randomBytes(1, 12), testing::randomBytes(1, 13)});
  pairs.push_back({testing::randomBytes(5, 14), testing::randomBytes(3000, 15)});
  Bytes base = testing::randomBytes(50000, 16);
  Bytes changed = base;
  for (size_t i = 0; i < changed.size(); i += 997) changed[i] ^= 0x5A;
  changed.insert(changed.begin() + 20000, base.begin(), base.begin() + 3000);
  pairs.push_back({base, changed});
  pairs.push_back({changed, base});

  for (size_t i = 0; i < pairs.size(); ++i) {
    SCOPED_TRACE(i);
    std::string container = makePatch(pairs[i].old, pairs[i].newData);
    EXPECT_EQ(applyPatch(pairs[i].old, container), pairs[i].newData);
    Body body = parseBody(patchBody(container));
    int64_t produced = 0;
    for (const Record& record : body.records) produced += record.diffLength + record.extraLength;
    EXPECT_EQ(produced, int64_t(pairs[i].newData.size()));
  }
}

TEST(Diff, BsdiffStructuredBinariesRoundTripAsSmallPatches) {
  Bytes version1 = structuredBinary(300000, 20);
  Bytes version2 = revise(version1, 21);
  Bytes version3 = revise(version2, 22);
  Bytes runs(200000, 0);  // long runs of one byte, on both sides
  for (size_t i = 50000; i < 60000; ++i) runs[i] = 0xFF;
  Bytes runs2 = runs;
  runs2.insert(runs2.begin() + 1000, 777, 0);
  runs2.erase(runs2.begin() + 120000, runs2.begin() + 125000);
  runs2[150000] = 7;

  struct Pair {
    const Bytes& old;
    const Bytes& newData;
    bool muchSmallerThanWhole;  // runs compress to almost nothing anyway
  };
  for (Pair pair : {Pair{version1, version2, true}, Pair{version2, version3, true},
                    Pair{version3, version1, true}, Pair{runs, runs2, false},
                    Pair{runs2, runs, false}}) {
    std::string container = makePatch(pair.old, pair.newData);
    EXPECT_EQ(applyPatch(pair.old, container), pair.newData);
    if (pair.muchSmallerThanWhole) {
      EXPECT_LT(container.size() * 2, wholeFileContainerSize(pair.newData));
    }
  }
}

// Versions far apart: most blocks rewritten, the rest edited every few
// bytes, where short matches are everywhere and few of them pay. The patch
// must still apply, and cost no more than the whole file.
TEST(Diff, BsdiffFarApartVersionsCostNoMoreThanTheWholeFile) {
  Bytes old = structuredBinary(400000, 40);
  Bytes farOff = old;
  for (uint32_t seed = 41; seed < 47; ++seed) farOff = revise(farOff, seed);
  Bytes densely = old;
  std::mt19937 random(47);
  for (size_t i = random() % 12; i < densely.size(); i += 1 + random() % 12) {
    densely[i] = uint8_t(random());
  }
  for (const Bytes* newData : {&farOff, &densely}) {
    std::string container = makePatch(old, *newData);
    EXPECT_EQ(applyPatch(old, container), *newData);
    EXPECT_LE(container.size(), wholeFileContainerSize(*newData));
  }
}

// The next minor release of a structured binary: in most blocks a small
// edit every few hundred bytes, in one block of three one every dozen to
// forty bytes (operands that point across moved code), and a few bytes
// inserted in every other block, which shift what follows. Many matches are
// shorter than 32 bytes, and diff bytes along them agree one in two or more.
Bytes minorRelease(const Bytes& old, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out;
  for (size_t at = 0; at < old.size();) {
    size_t length = std::min<size_t>(old.size() - at, 2000 + random() % 6000);
    Bytes block(old.begin() + long(at), old.begin() + long(at + length));
    at += length;
    size_t gap = random() % 3 == 0 ? 12 + random() % 30 : 150 + random() % 400;
    for (size_t i = random() % gap; i + 4 <= block.size(); i += 1 + random() % gap) {
      block[i] = uint8_t(block[i] + 1 + random() % 8);
    }
    if (random() % 2) {
      block.insert(block.begin() + long(random() % block.size()), 1 + random() % 12, 0x90);
    }
    out.insert(out.end(), block.begin(), block.end());
  }
  return out;
}

// The size of the container of the patch body by one set of rules alone.
size_t containerSizeBy(const MatchRules& rules, const Bytes& old, const Bytes& newData) {
  Bytes body;
  auto append = [](void* stream, const uint8_t* bytes, size_t count) {
    Bytes& to = *static_cast<Bytes*>(stream);
    to.insert(to.end(), bytes, bytes + count);
    return 0;
  };
  DiffWriter writer{&body, std::malloc, std::free, append};
  EXPECT_TRUE(writePatchBody(old.data(), uint32_t(old.size()), newData.data(),
                             uint32_t(newData.size()), rules, writer).ok());
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(binary_patch, body.data(), uint32_t(body.size()), out).ok());
  return out.str().size();
}

// Neither set of match rules gives the smaller patch for every pair: the
// short matches win on a minor release, the long ones on versions far
// apart. bsdiff's patch is the smaller one of both.
TEST(Diff, BsdiffKeepsTheSmallerOfBothMatchRules) {
  Bytes old = structuredBinary(400000, 60);
  Bytes ordinary = minorRelease(old, 61);
  Bytes farOff = old;
  for (uint32_t seed = 62; seed < 74; ++seed) farOff = revise(farOff, seed);
  struct Pair {
    const Bytes& newData;
    bool shortMatchesWin;
  };
  for (Pair pair : {Pair{ordinary, true}, Pair{farOff, false}}) {
    std::string container = makePatch(old, pair.newData);
    EXPECT_EQ(applyPatch(old, container), pair.newData);
    size_t shortSize = containerSizeBy(kShortMatchRules, old, pair.newData);
    size_t longSize = containerSizeBy(kLongMatchRules, old, pair.newData);
    EXPECT_EQ(container.size(), std::min(shortSize, longSize));
    EXPECT_EQ(shortSize < longSize, pair.shortMatchesWin) << shortSize << " " << longSize;
  }
}

TEST(Diff, BsdiffSameInputsGiveTheSamePatchBytes) {
  Bytes old = structuredBinary(100000, 30);
  Bytes newData = revise(old, 31);
  std::string first = makePatch(old, newData);
  EXPECT_EQ(makePatch(old, newData), first);
  Bytes oldCopy = old;
  Bytes newCopy = newData;
  EXPECT_EQ(makePatch(oldCopy, newCopy), first);
}

// Allocation and write failures, counted through the writer.
struct Counters {
  int allocations = 0;
  int releases = 0;
  int failAllocation = -1;  // index of the allocation that fails
  int writes = 0;
  int failWrite = -1;       // index of the write that fails
  int failStatus = 0;
};
Counters counters;

void* countingAllocate(size_t size) {
  if (counters.allocations++ == counters.failAllocation) return nullptr;
  return std::malloc(size);
}
void countingRelease(void* memory) {
  ++counters.releases;
  std::free(memory);
}
int countingWrite(void* stream, const uint8_t* bytes, size_t count) {
  if (counters.writes++ == counters.failWrite) return counters.failStatus;
  Bytes& body = *static_cast<Bytes*>(stream);
  body.insert(body.end(), bytes, bytes + count);
  return 0;
}

bool runWithCounters(const Bytes& old, const Bytes& newData, Bytes& body) {
  DiffWriter writer{&body, countingAllocate, countingRelease, countingWrite};
  return writePatchBody(old.data(), uint32_t(old.size()), newData.data(),
                        uint32_t(newData.size()), kLongMatchRules, writer)
      .ok();
}

TEST(Diff, BsdiffWorkingMemoryAndWriteFailures) {
  Bytes old = structuredBinary(20000, 50);
  Bytes newData = old;
  Bytes inserted = testing::randomBytes(3000, 52);
  newData.insert(newData.begin() + 5000, inserted.begin(), inserted.end());
  newData.insert(newData.begin() + 15000, inserted.begin(), inserted.begin() + 100);
  Bytes reference;
  counters = Counters{};
  ASSERT_TRUE(runWithCounters(old, newData, reference));
  // suffix array, work buffer, group numbers, match filter
  EXPECT_EQ(counters.allocations, 4);
  EXPECT_EQ(counters.releases, 4);
  EXPECT_EQ(reference, patchBody(makePatch(old, newData)));
  const int writes = counters.writes;
  ASSERT_GT(writes, 6);

  for (int failing = 0; failing < 4; ++failing) {
    SCOPED_TRACE(failing);
    counters = Counters{};
    counters.failAllocation = failing;
    Bytes body;
    EXPECT_FALSE(runWithCounters(old, newData, body));
    EXPECT_EQ(counters.releases, counters.allocations - 1);
  }
  for (int failing : {0, 1, writes / 2, writes - 1}) {
    for (int status : {-1, 1}) {
      SCOPED_TRACE(std::to_string(failing) + " " + std::to_string(status));
      counters = Counters{};
      counters.failWrite = failing;
      counters.failStatus = status;
      Bytes body;
      EXPECT_FALSE(runWithCounters(old, newData, body));
      EXPECT_EQ(counters.releases, counters.allocations);
    }
  }

  std::ostream failed(nullptr);
  EXPECT_FALSE(bsdiff(old.data(), uint32_t(old.size()), newData.data(), uint32_t(newData.size()),
                      failed)
                   .ok());
}

TEST(Diff, MatchLongestAndNearestEqualMatch) {
  std::mt19937 random(3);
  // The search takes an old suffix that is a proper prefix of the text for
  // a larger one, which can hide the longest match; a last byte that no
  // text contains keeps every suffix from being such a prefix.
  Bytes old = randomOver(2000, 4, random);
  old.push_back(0xFF);
  std::vector<int32_t> I(old.size() + 1);
  std::vector<int32_t> V(old.size() + 1);
  suffixSort<int32_t>(I.data(), V.data(), old.data(), int32_t(old.size()));
  const int64_t n = int64_t(old.size());

  for (int probe = 0; probe < 300; ++probe) {
    Bytes text = randomOver(1 + random() % 40, 4, random);
    if (probe % 3 == 0) {  // a piece of the old file, then a byte that may differ
      size_t at = random() % (old.size() - 1);
      text.assign(old.begin() + long(at), old.begin() + long(std::min(old.size() - 1, at + 30)));
      text.push_back(uint8_t(random() % 4));
    }
    auto lengthAt = [&](int64_t at) {
      return matchLength(old.data() + at, n - at, text.data(), int64_t(text.size()));
    };
    int64_t best = 0;
    for (int64_t at = 0; at <= n; ++at) best = std::max(best, lengthAt(at));
    Match match = longestMatch(I.data(), old.data(), n, text.data(), int64_t(text.size()), 0, n);
    EXPECT_EQ(match.length, best);
    EXPECT_EQ(lengthAt(match.position), best);
    EXPECT_EQ(I[size_t(match.rank)], match.position);

    // Of all equal matches (when few enough to lie within reach), the
    // nearest to a target, the lower one on equal distance.
    const int64_t target = int64_t(random() % (n + 1));
    int64_t nearest = -1;
    int64_t count = 0;
    for (int64_t at = 0; at <= n; ++at) {
      if (lengthAt(at) != best) continue;
      ++count;
      if (nearest < 0 || std::abs(at - target) < std::abs(nearest - target)) nearest = at;
    }
    if (count <= kNearbyRanks) {
      EXPECT_EQ(nearestEqualMatch(I.data(), old.data(), n, text.data(), int64_t(text.size()),
                                  match, target),
                nearest);
    }
  }

  // An empty old file matches nothing.
  int32_t emptyI[1] = {0};
  uint8_t byte = 1;
  Match none = longestMatch(emptyI, static_cast<const uint8_t*>(nullptr), 0, &byte, 1, 0, 0);
  EXPECT_EQ(none.length, 0);
  EXPECT_EQ(none.position, 0);
}

}  // namespace
}  // namespace quor
