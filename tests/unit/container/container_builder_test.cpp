#include "container/container_builder.h"

#include <gtest/gtest.h>

#include <sstream>

#include "container/container.h"
#include "container/container_writer.h"
#include "test_support.h"

namespace quor {
namespace {

std::string builtFrom(const Bytes& data, size_t firstPiece) {
  ContainerBuilder builder(binary_patch);
  // Pieces of changing sizes, some longer than the builder's own.
  for (size_t at = 0, piece = firstPiece; at < data.size(); at += piece, piece = piece * 3 + 1) {
    piece = std::min(piece, data.size() - at);
    EXPECT_TRUE(builder.add(data.data() + at, piece).ok());
  }
  EXPECT_TRUE(builder.finish().ok());
  EXPECT_FALSE(builder.add(data.data(), 0).ok());
  std::ostringstream out;
  EXPECT_TRUE(builder.writeTo(out).ok());
  EXPECT_EQ(builder.size(), out.str().size());
  return out.str();
}

TEST(ContainerBuilder, GivesContainerEncodesBytesHoweverTheInputIsSplit) {
  Bytes compressible(3 * kContainerPieceSize + 17, 0);
  Bytes noise = testing::randomBytes(kContainerPieceSize + 5, 7);
  for (size_t i = 0; i < compressible.size(); i += 61) compressible[i] = uint8_t(i >> 6);
  for (const Bytes* data : {&compressible, &noise}) {
    std::ostringstream whole;
    ASSERT_TRUE(containerEncode(binary_patch, data->data(), uint32_t(data->size()), whole).ok());
    EXPECT_EQ(builtFrom(*data, 1), whole.str());
    EXPECT_EQ(builtFrom(*data, 100000), whole.str());
  }
  std::ostringstream empty;
  ASSERT_TRUE(containerEncode(binary_patch, nullptr, 0, empty).ok());
  EXPECT_EQ(builtFrom({}, 1), empty.str());
}

}  // namespace
}  // namespace quor
