#include "dataset/encodings_index.h"

#include <gtest/gtest.h>

#include <string>

namespace quor {
namespace {

Status parse(const std::string& text, EncodingsIndex* index) {
  return parseEncodingsIndex(reinterpret_cast<const uint8_t*>(text.data()), text.size(), index);
}

TEST(EncodingsIndex, WrittenIndexReadsBackAndLaterKindsArePassedOver) {
  Bytes bytes = encodeEncodingsIndex({{0, {DataKind::kWhole, 120, 0}},
                                      {0, {DataKind::kZstdWhole, 90, 0}},
                                      {7, {DataKind::kPatchFrom, 12, 4000000000u}},
                                      {7, {DataKind::kSplitPatch, 30, 11, true}}});
  std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text, "quor_encodings 1\n0.compressed 120 0\n0.zst 90 0\n7.zfrom 12 4000000000\n"
                  "7.0000000b.zdiff 30 11\n");
  EncodingsIndex index;
  ASSERT_TRUE(parse(text + "7.lzma 10 0\n7.0000000b.lzma 10 11\n7.v2.zst 10 0\n", &index).ok());
  ASSERT_EQ(index.files.at(0).size(), 2u);
  EXPECT_EQ(index.files.at(0)[1].kind, DataKind::kZstdWhole);
  ASSERT_EQ(index.files.at(7).size(), 2u);
  EXPECT_EQ(index.files.at(7)[0].base, 4000000000u);
  EXPECT_EQ(index.files.at(7)[0].size, 12u);
  EXPECT_FALSE(index.files.at(7)[0].tagged);
  EXPECT_TRUE(index.files.at(7)[1].tagged);
  EXPECT_EQ(indexedFileName(7, index.files.at(7)[1]), "7.0000000b.zdiff");
}

TEST(EncodingsIndex, AnythingOffTheGrammarRefusesTheWholeIndex) {
  const std::string header = "quor_encodings 1\n";
  for (const std::string& bad :
       {std::string("quor_encodings 2\n"), header + "1.zst 10 0", header + "1.zst 10\n",
        header + "01.zst 10 0\n", header + "1.zst -10 0\n", header + "1.zst 10 0 \n",
        header + "1.zst 99999999999999999999 0\n", header + "1.zst 10 5\n",
        header + "1.zdiff 10 0\n", header + "../1.zst 10 0\n", header + "1. 10 0\n",
        header + "1.zst 10 4294967296\n", header + "1.0000000c.zdiff 10 11\n",
        header + "1.00000000.zst 10 0\n"}) {
    EncodingsIndex index;
    index.files[5].push_back({DataKind::kWhole, 1, 0});
    EXPECT_FALSE(parse(bad, &index).ok()) << bad;
    EXPECT_EQ(index.files.size(), 1u) << "a refused index leaves the old one";
  }
  std::string crowded = header;
  for (int i = 0; i < 17; ++i) crowded += "3.zst 10 0\n";
  EncodingsIndex index;
  EXPECT_FALSE(parse(crowded, &index).ok());
  std::string huge(kMaxEncodingsIndexSize + 1, '\n');
  EXPECT_EQ(parse(huge, &index).kind(), Status::Kind::kTooLarge);
}

}  // namespace
}  // namespace quor
