#include <gtest/gtest.h>

#include "base/encoding.h"

namespace quor {
namespace {

TEST(Encoding, ByteWriterLaysOutPrimitivesLittleEndianWithoutGaps) {
  ByteWriter out;
  out.u32(1);
  out.u32(0xFFFFFFFF);
  out.text("a");
  out.text("");
  out.blob(nullptr, 0);
  out.u8(7);
  out.u64(0x0807060504030201u);
  EXPECT_EQ(out.bytes(), (Bytes{1, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0x61, 0, 0, 0, 0, 0, 0, 7,
                                1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST(Encoding, ByteReaderReadsWhatTheWriterWrote) {
  ByteWriter out;
  out.u32(0x12345678);
  out.f32(1.5f);
  out.text("path/name");
  const uint8_t blob[] = {9, 8, 7};
  out.blob(blob, 3);
  out.u32(2);
  out.text("x");
  out.text("yz");
  out.u64(0xFFFFFFFF00000001u);
  Bytes bytes = out.take();
  ByteReader in(bytes.data(), bytes.size());
  EXPECT_EQ(in.u32(), 0x12345678u);
  EXPECT_EQ(in.f32(), 1.5f);
  EXPECT_EQ(in.text(), "path/name");
  EXPECT_EQ(in.blob(), (Bytes{9, 8, 7}));
  EXPECT_EQ(in.textList(), (std::vector<std::string>{"x", "yz"}));
  EXPECT_EQ(in.u64(), 0xFFFFFFFF00000001u);
  EXPECT_FALSE(in.overrun());
  EXPECT_EQ(in.remaining(), 0u);
}

TEST(Encoding, ByteReaderExhaustedDataYieldsZerosAndIsReported) {
  const uint8_t bytes[] = {1, 2, 'a', 'b'};
  ByteReader words(bytes, 2);
  EXPECT_EQ(words.u32(), 0u);
  EXPECT_TRUE(words.overrun());
  EXPECT_EQ(words.u32(), 0u);

  const uint8_t seven[] = {1, 2, 3, 4, 5, 6, 7};
  ByteReader wide(seven, sizeof seven);
  EXPECT_EQ(wide.u64(), 0u);
  EXPECT_TRUE(wide.overrun());
  EXPECT_EQ(wide.remaining(), 0u);

  ByteReader text(bytes, sizeof bytes, 2);
  EXPECT_EQ(text.text(), "ab");  // cut at the end
  EXPECT_TRUE(text.overrun());

  ByteReader past(bytes, sizeof bytes, 99);
  EXPECT_TRUE(past.overrun());
  EXPECT_EQ(past.u8(), 0);
}

TEST(Encoding, ByteReaderHostileCountsCostNoMoreThanTheBytesPresent) {
  // Counts larger than what follows.
  const uint8_t blobHeader[] = {0xFF, 0xFF, 0xFF, 0xFF, 1, 2};
  ByteReader blob(blobHeader, sizeof blobHeader);
  EXPECT_TRUE(blob.blob().empty());
  EXPECT_TRUE(blob.overrun());

  const uint8_t numbers[] = {3, 0, 0, 0, 1, 0, 0, 0, 2, 0};
  ByteReader list(numbers, sizeof numbers);
  EXPECT_EQ(list.u32List(), std::vector<uint32_t>{1});
  EXPECT_TRUE(list.overrun());

  const uint8_t texts[] = {5, 0, 0, 0, 'a', 0, 'b', 0};
  ByteReader textList(texts, sizeof texts);
  EXPECT_EQ(textList.textList(), (std::vector<std::string>{"a", "b"}));
  EXPECT_TRUE(textList.overrun());

  const uint8_t pairs[] = {2, 0, 0, 0, 5, 0, 0, 0, 'x', 0, 6, 0};
  ByteReader numbered(pairs, sizeof pairs);
  auto list2 = numbered.numberedTextList();
  ASSERT_EQ(list2.size(), 1u);
  EXPECT_EQ(list2[0], (std::pair<uint32_t, std::string>{5, "x"}));
  EXPECT_TRUE(numbered.overrun());
}

TEST(Encoding, ByteReaderListsLongerThanTheLimitAreRefusedEvenWhenPresent) {
  // One byte per empty text: present in full, such a list would cost 32
  // times its size in memory.
  for (uint32_t count : {kMaxListElements, kMaxListElements + 1}) {
    ByteWriter out;
    out.u32(count);
    Bytes bytes = out.take();
    bytes.resize(bytes.size() + count, 0);
    bytes.push_back(7);
    ByteReader reader(bytes.data(), bytes.size());
    std::vector<std::string> texts = reader.textList();
    if (count == kMaxListElements) {
      EXPECT_EQ(texts.size(), count);
      EXPECT_EQ(reader.u8(), 7);
      EXPECT_FALSE(reader.overrun());
    } else {
      EXPECT_TRUE(texts.empty());
      EXPECT_TRUE(reader.overrun());
      EXPECT_EQ(reader.remaining(), 0u);
    }
  }
  const uint8_t huge[] = {0xFF, 0xFF, 0xFF, 0xFF, 'a', 0};
  ByteReader reader(huge, sizeof huge);
  EXPECT_TRUE(reader.numberedTextList().empty());
  EXPECT_TRUE(reader.overrun());
}

TEST(Encoding, NumberTextDecimalAndPercentForms) {
  EXPECT_EQ(decimalText(uint32_t{0}), "0");
  EXPECT_EQ(decimalText(uint32_t{0xFFFFFFFF}), "4294967295");
  EXPECT_EQ(decimalText(int32_t{-1}), "-1");
  EXPECT_EQ(decimalText(int32_t{123}), "123");
  EXPECT_EQ(percentText(0.0f), "0%");
  EXPECT_EQ(percentText(0.5f), "50%");
  EXPECT_EQ(percentText(0.125f), "13%");
  EXPECT_EQ(percentText(1.0f), "100%");
  EXPECT_EQ(percentText(-0.5f), "-50%");
  EXPECT_EQ(percentText(1.0f / 3.0f), "33%");
  EXPECT_EQ(percentText(2.0f / 3.0f), "67%");
  EXPECT_EQ(percentText(1e30f), "2147483520%");  // far out of range stays defined
}

}  // namespace
}  // namespace quor
