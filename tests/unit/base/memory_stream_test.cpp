#include <gtest/gtest.h>

#include "base/memory_stream.h"

namespace quor {
namespace {

TEST(MemoryStream, MemoryInputStreamReadsSeeksAndFailsLikeAFileStream) {
  const uint8_t bytes[] = {'a', 'b', 'c', 'd'};
  MemoryInputStream in(bytes, sizeof bytes);
  char got[8] = {};
  in.read(got, 2);
  EXPECT_EQ(std::string(got, 2), "ab");
  EXPECT_EQ(in.tellg(), 2);
  in.read(got, 8);
  EXPECT_EQ(in.gcount(), 2);
  EXPECT_TRUE(in.eof());
  in.clear();
  in.seekg(0);
  EXPECT_TRUE(in.good());
  EXPECT_EQ(in.get(), 'a');
  in.seekg(10);
  EXPECT_TRUE(in.fail());
  in.clear();
  in.seekg(-1, std::ios::end);
  EXPECT_EQ(in.get(), 'd');
}

TEST(MemoryStream, MemoryInputStreamEmptyInput) {
  MemoryInputStream in(nullptr, 0);
  EXPECT_EQ(in.get(), std::char_traits<char>::eof());
  in.clear();
  in.seekg(0);
  EXPECT_TRUE(in.good());
}

}  // namespace
}  // namespace quor
