#include "update/staging.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "base/encoding.h"
#include "dataset/dataset.h"
#include "dataset/layout.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::ScopedCurrentDir;
using testing::TempDir;
namespace fs = std::filesystem;

constexpr uint32_t kPiece = 4096;

Bytes pieceOf(uint32_t piece, uint32_t length) {
  return testing::randomBytes(length, piece + 1);
}

TEST(Staging, PiecesSurviveARestartOnlyForTheSameServerFile) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  const uint64_t size = 3 * kPiece + 100;  // the last piece is short
  {
    StagedFile staged("7.compressed");
    EXPECT_FALSE(staged.loadPrevious());
    ASSERT_TRUE(staged.start(size, 42, kPiece).ok());
    ASSERT_TRUE(staged.writePiece(2 * kPiece, pieceOf(2, kPiece).data(), kPiece).ok());
    ASSERT_TRUE(staged.writePiece(3 * kPiece, pieceOf(3, 100).data(), 100).ok());
    EXPECT_FALSE(staged.writePiece(kPiece + 1, pieceOf(1, kPiece).data(), kPiece).ok());
    EXPECT_FALSE(staged.writePiece(kPiece, pieceOf(1, 99).data(), 99).ok());
  }  // the run is cut off here

  StagedFile resumed("7.compressed");
  ASSERT_TRUE(resumed.loadPrevious());
  EXPECT_TRUE(resumed.resumed());
  EXPECT_TRUE(resumed.matches(size, 42, kPiece));
  EXPECT_FALSE(resumed.matches(size, 43, kPiece));  // republished
  EXPECT_EQ(resumed.firstMissing(), 0u);
  EXPECT_EQ(resumed.firstMissing(2), 4u);
  EXPECT_EQ(resumed.stagedBytes(), kPiece + 100u);
  for (uint32_t piece : {0u, 1u}) {
    ASSERT_TRUE(resumed.writePiece(piece * kPiece, pieceOf(piece, kPiece).data(), kPiece).ok());
  }
  ASSERT_TRUE(resumed.complete());
  Bytes expected;
  for (uint32_t piece = 0; piece < 4; ++piece) {
    Bytes bytes = pieceOf(piece, resumed.pieceLength(piece));
    expected.insert(expected.end(), bytes.begin(), bytes.end());
  }
  EXPECT_EQ(testing::readBytes(resumed.partPath()), expected);

  // Another server file: the staging starts afresh.
  ASSERT_TRUE(resumed.start(size, 43, kPiece).ok());
  EXPECT_EQ(resumed.stagedBytes(), 0u);
  EXPECT_FALSE(fs::exists(resumed.partPath()));
}

TEST(Staging, DamagedMetaFilesAreNotTakenUp) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  {
    StagedFile staged("1.patch");
    ASSERT_TRUE(staged.start(10 * kPiece, 1, kPiece).ok());
    ASSERT_TRUE(staged.writePiece(0, pieceOf(0, kPiece).data(), kPiece).ok());
  }
  std::string meta = std::string(kStagingFolder) + "/1.patch.meta";
  std::string good = testing::readFile(meta);
  auto damaged = [&](std::string bytes) {
    testing::writeFile(meta, bytes);
    return !StagedFile("1.patch").loadPrevious();
  };
  for (size_t cut = 0; cut < good.size(); cut += 7) EXPECT_TRUE(damaged(good.substr(0, cut)));
  std::string huge = good;
  huge[16 + 4] = '\x7f';  // a file size of terabytes
  EXPECT_TRUE(damaged(huge));
  std::string tinyPieces = good;
  tinyPieces[32] = 1;  // 1-byte pieces: billions of bits
  tinyPieces[33] = tinyPieces[34] = tinyPieces[35] = 0;
  EXPECT_TRUE(damaged(tinyPieces));
  EXPECT_TRUE(damaged(good + "x"));
  EXPECT_FALSE(damaged(good));
}

TEST(Staging, StaleFilesGoAndScansNeverSeeTheFolder) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  for (const char* name : {"1.compressed", "2.patch"}) {
    StagedFile staged(name);
    ASSERT_TRUE(staged.start(kPiece, 1, kPiece).ok());
    ASSERT_TRUE(staged.writePiece(0, pieceOf(0, kPiece).data(), kPiece).ok());
  }
  testing::writeFile("data/quor/a.bin", "a");
  EXPECT_EQ(scanDataSet("./").size(), 1u);
  removeStaleStaging({"2.patch"});
  EXPECT_FALSE(fs::exists(std::string(kStagingFolder) + "/1.compressed.part"));
  EXPECT_TRUE(fs::exists(std::string(kStagingFolder) + "/2.patch.part"));

  EXPECT_TRUE(isStagingPath("./", "./updater_staging"));
  EXPECT_TRUE(isStagingPath("./", "./Updater_Staging/2.patch.part"));
  EXPECT_TRUE(isStagingPath("../v1", "../v1/updater_staging/x"));
  EXPECT_FALSE(isStagingPath("./", "./updater_staging2/x"));
  EXPECT_FALSE(isStagingPath("./", "./data/updater_staging/x"));
}

}  // namespace
}  // namespace quor
