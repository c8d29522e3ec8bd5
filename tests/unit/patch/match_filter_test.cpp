#include "patch/match_filter.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "base/encoding.h"
#include "test_support.h"

namespace quor {
namespace {

constexpr int64_t kMin = MatchFilter::kMinMatch;

struct Filtered {
  std::vector<uint8_t> table;
  MatchFilter filter;
  Filtered(const Bytes& old, const Bytes& newData)
      : table(MatchFilter::tableSize(int64_t(old.size()))),
        filter(table.data(), old.data(), int64_t(old.size()), newData.data(),
               int64_t(newData.size())) {}
};

// A new file of old pieces just kMinMatch long at any offset, with random
// bytes between them, then a random tail unlike the old file. The filter
// must pass every piece, whether asked at each position or only at the
// pieces, and rule out most of the tail and every position too near the end.
TEST(MatchFilter, PassesEveryLongMatchAndFewOthers) {
  Bytes old = testing::randomBytes(300000, 1);
  std::mt19937 random(2);
  Bytes newData;
  std::vector<int64_t> pieces;
  while (newData.size() < 200000) {
    Bytes gap = testing::randomBytes(random() % 40, uint32_t(random()));
    newData.insert(newData.end(), gap.begin(), gap.end());
    size_t at = random() % (old.size() - kMin);
    pieces.push_back(int64_t(newData.size()));
    newData.insert(newData.end(), old.begin() + long(at), old.begin() + long(at + kMin));
  }
  const int64_t tail = int64_t(newData.size());
  Bytes unlike = testing::randomBytes(100000, 3);
  newData.insert(newData.end(), unlike.begin(), unlike.end());
  const int64_t m = int64_t(newData.size());

  Filtered everywhere(old, newData);
  std::vector<bool> passed(static_cast<size_t>(m));
  for (int64_t at = 0; at < m; ++at) passed[size_t(at)] = everywhere.filter.mayMatchAt(at);
  Filtered atPieces(old, newData);
  for (int64_t piece : pieces) {
    EXPECT_TRUE(passed[size_t(piece)]) << piece;
    EXPECT_TRUE(atPieces.filter.mayMatchAt(piece)) << piece;
  }
  int64_t passedInTail = 0;
  for (int64_t at = tail; at < m; ++at) passedInTail += passed[size_t(at)];
  EXPECT_LT(passedInTail, (m - tail) / 10);
  for (int64_t at = m - kMin + 1; at < m; ++at) EXPECT_FALSE(passed[size_t(at)]);

  // An old file too short to hold a string passes nothing.
  Bytes tiny(MatchFilter::kGram - 1, 7);
  Filtered none(tiny, newData);
  for (int64_t at = 0; at < 1000; ++at) EXPECT_FALSE(none.filter.mayMatchAt(at));
}

}  // namespace
}  // namespace quor
