#include <gtest/gtest.h>

#include "dataset/dataset.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::ScopedCurrentDir;
using testing::TempDir;
using testing::writeFile;

TEST(Dataset, ScanDataSetHoldsEveryFileWithItsChecksum) {
  TempDir dir;
  writeFile(dir / "a.txt", "");
  writeFile(dir / "b.txt", "abc");
  writeFile(dir / "sub/c.txt", "abc");
  ScopedCurrentDir here(dir.path());
  DataSet set = scanDataSet("./");
  EXPECT_EQ(set, (DataSet{{"./a.txt", 0}, {"./b.txt", 503268352}, {"./sub/c.txt", 503268352}}));
  DataSet sub = scanDataSet("sub");
  EXPECT_EQ(sub, (DataSet{{"sub/c.txt", 503268352}}));
  EXPECT_TRUE(scanDataSet("missing").empty());
}

TEST(Dataset, ScanDataSetReportsARootItCannotRead) {
  TempDir dir;
  writeFile(dir / "file", "x");
  Status status;
  EXPECT_TRUE(scanDataSet(dir / "file", &status).empty());
  EXPECT_FALSE(status.ok());
}

TEST(Dataset, DatasetChecksumSumsShippedDataAndTheGame) {
  TempDir dir;
  ScopedCurrentDir here(dir.path());
  EXPECT_EQ(datasetChecksum(), 0u);
  writeFile("data/quor/a", "abc");
  writeFile("data/common/b", "abc");
  writeFile("data/other/c", "abc");   // not shipped data
  writeFile("quor.exe", "abc");
  EXPECT_EQ(datasetChecksum(), 3u * 503268352u);
}

}  // namespace
}  // namespace quor
