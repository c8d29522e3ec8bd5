#include "patch/block_diff.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "container/container.h"
#include "patch/diff.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

Bytes readBody(const Bytes& old, const Bytes& newData, uint32_t blockSize) {
  std::unique_ptr<ByteSource> body;
  EXPECT_TRUE(openBlockDiff(old.data(), uint32_t(old.size()), newData.data(),
                            uint32_t(newData.size()), blockSize, &body)
                  .ok());
  Bytes bytes;
  uint8_t piece[1000];  // small pieces cut records at every place
  for (size_t got = 1; got != 0;) {
    EXPECT_TRUE(body->read(piece, sizeof piece, &got).ok());
    bytes.insert(bytes.end(), piece, piece + got);
  }
  return bytes;
}

// The old file's pieces in a new order: some moved further on, some
// dropped, new ones inserted, many with scattered byte edits.
Bytes nextVersion(const Bytes& old, uint32_t seed) {
  std::mt19937 random(seed);
  Bytes out;
  std::vector<Bytes> held;
  for (size_t at = 0; at < old.size();) {
    size_t length = std::min<size_t>(old.size() - at, 2000 + random() % 20000);
    Bytes piece(old.begin() + long(at), old.begin() + long(at + length));
    at += length;
    uint32_t roll = random() % 20;
    if (roll < 2) {
      held.push_back(piece);  // moved
      continue;
    }
    if (roll == 2) continue;  // dropped
    if (roll == 3) {
      Bytes inserted = testing::randomBytes(100 + random() % 8000, random());
      out.insert(out.end(), inserted.begin(), inserted.end());
    }
    if (roll < 8) {
      for (size_t i = random() % 500; i < piece.size(); i += 1 + random() % 500) {
        piece[i] = uint8_t(random());
      }
    }
    out.insert(out.end(), piece.begin(), piece.end());
    if (roll == 9 && !held.empty()) {
      out.insert(out.end(), held.back().begin(), held.back().end());
      held.pop_back();
    }
  }
  for (const Bytes& piece : held) out.insert(out.end(), piece.begin(), piece.end());
  return out;
}

size_t compressedSize(uint32_t type, const Bytes& content) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(type, content.data(), uint32_t(content.size()), out).ok());
  return out.str().size();
}

TEST(BlockDiff, ChangedMovedAndInsertedBlocksRoundTripThroughBspatch) {
  Bytes old = testing::randomBytes(1 << 20, 1);
  old.insert(old.begin() + 300000, 70000, 0);  // equal blocks, indexed once
  Bytes newData = nextVersion(old, 2);
  struct Pair {
    const Bytes& old;
    const Bytes& newData;
  };
  const Bytes empty;
  for (Pair pair : {Pair{old, newData}, Pair{newData, old}, Pair{empty, newData},
                    Pair{old, empty}}) {
    for (uint32_t blockSize : {16u, 64u, 4096u}) {
      SCOPED_TRACE(std::to_string(pair.old.size()) + " " + std::to_string(blockSize));
      Bytes body = readBody(pair.old, pair.newData, blockSize);
      EXPECT_EQ(testing::patched(pair.old.data(), uint32_t(pair.old.size()), body.data(),
                                 uint32_t(body.size())),
                pair.newData);
      EXPECT_EQ(readBody(pair.old, pair.newData, blockSize), body);  // same bytes each time
      if (blockSize == 16 && !pair.old.empty() && !pair.newData.empty()) {
        EXPECT_LT(compressedSize(binary_patch, body) * 4, compressedSize(generic, pair.newData));
      }
    }
  }
}

TEST(BlockDiff, TheBudgetChoosesTheMethodAndTheBlockSize) {
  const uint64_t mib = 1 << 20;
  EXPECT_EQ(chooseDiffMethod(mib, mib, bsdiffMemory(mib, mib)), DiffMethod::kSuffixArray);
  EXPECT_EQ(chooseDiffMethod(mib, mib, bsdiffMemory(mib, mib) - 1), DiffMethod::kBlockIndex);
  EXPECT_EQ(blockSizeWithin(mib, blockDiffMemory(mib, 16)), 16u);
  EXPECT_EQ(blockSizeWithin(mib, blockDiffMemory(mib, 16) - 1), 32u);
  // A 4 GiB old file still has an index within the default budget.
  EXPECT_EQ(blockSizeWithin(uint64_t(4) << 30, uint64_t(2) << 30), 32u);
  EXPECT_EQ(chooseDiffMethod(mib, mib, blockDiffMemory(mib, 4096) - 1), DiffMethod::kNone);

  Bytes old = testing::randomBytes(mib, 3);
  Bytes newData = nextVersion(old, 4);
  testing::TempDir dir;
  std::string path = dir / "1.patch";
  uint64_t budget = blockDiffMemory(mib, 64);
  ASSERT_TRUE(blockDiffToFile(old.data(), uint32_t(mib), newData.data(),
                              uint32_t(newData.size()), budget, path)
                  .ok());
  std::optional<Bytes> body = testing::decodedContainer(binary_patch, testing::readFile(path));
  ASSERT_TRUE(body);
  EXPECT_EQ(*body, readBody(old, newData, 64));
  EXPECT_EQ(testing::patched(old.data(), uint32_t(mib), body->data(), uint32_t(body->size())),
            newData);
  EXPECT_EQ(blockDiffToFile(old.data(), uint32_t(mib), newData.data(), uint32_t(newData.size()),
                            blockDiffMemory(mib, 4096) - 1, path)
                .kind(),
            Status::Kind::kTooLarge);
}

}  // namespace
}  // namespace quor
