#include "container/container.h"

#include <gtest/gtest.h>

#include <sstream>
#include <streambuf>

#include "patch_test_helpers.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::errorRecord;

constexpr size_t kHeaderSize = 40;

std::string encoded(uint32_t type, const Bytes& data) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(type, data.data(), static_cast<uint32_t>(data.size()), out).ok());
  return out.str();
}

uint32_t u32At(const std::string& bytes, size_t offset) {
  return ByteReader(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size(), offset).u32();
}

void setU32(std::string& bytes, size_t offset, uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes[offset + i] = char(value >> (8 * i));
}

struct Decoded {
  std::optional<Bytes> data;
  uint32_t outSize;
  std::string log;
};

// log: the line a caller reports, as update mode does: every failure but a
// tag of another type.
Decoded decode(uint32_t type, std::istream& in) {
  LogCapture log;
  Decoded result;
  Bytes content;
  Status status = containerDecode(type, in, &content);
  result.outSize = static_cast<uint32_t>(content.size());
  result.log = log.written();
  if (status.ok()) result.data = std::move(content);
  if (!status.ok() && status.kind() != Status::Kind::kNotFound) {
    result.log += errorRecord(status.message());
  }
  return result;
}

Decoded decode(uint32_t type, const std::string& container) {
  std::istringstream in(container);
  return decode(type, in);
}

// Bytes that compress well and some that do not.
Bytes sampleData() {
  Bytes data = testing::randomBytes(3000, 7);
  for (int i = 0; i < 20000; ++i) data.push_back(uint8_t("quor data "[i % 10]));
  return data;
}

void expectRewound(std::istream& in) {
  EXPECT_TRUE(in.good());
  EXPECT_EQ(in.tellg(), std::streampos(0));
}

TEST(Container, TagsOfEveryType) {
  EXPECT_EQ(compressedTag(generic), "quor_compressed:                ");
  EXPECT_EQ(compressedTag(mesh), "quor_compressed:mesh            ");
  EXPECT_EQ(compressedTag(binary_patch), "quor_compressed:binary_patch    ");

  LogCapture log;
  EXPECT_EQ(compressedTag(9), compressedTag(generic));
  EXPECT_EQ(log.written(), errorRecord("unknown compressed file type 9"));
}

TEST(Container, EmptyInputIsThe48ByteContainer) {
  std::string container = encoded(generic, {});
  std::string expected = std::string(compressedTag(generic)) +
                         std::string("\x08\0\0\0\0\0\0\0", 8) +
                         std::string("\x78\xDA\x03\x00\x00\x00\x00\x01", 8);
  EXPECT_EQ(container, expected);

  Decoded decoded = decode(generic, container);
  ASSERT_TRUE(decoded.data.has_value());
  EXPECT_TRUE(decoded.data->empty());
  EXPECT_EQ(decoded.outSize, 0u);
  EXPECT_EQ(decoded.log, "");
}

TEST(Container, RoundTripLayoutAndStreamPosition) {
  Bytes data = sampleData();
  std::string container = encoded(binary_patch, data);
  EXPECT_EQ(container.substr(0, 32), compressedTag(binary_patch));
  uint32_t compressedLength = u32At(container, 32);
  EXPECT_EQ(compressedLength, container.size() - kHeaderSize);
  EXPECT_EQ(u32At(container, 36), data.size());
  EXPECT_EQ(container.substr(40, 2), "\x78\xDA");
  EXPECT_LT(container.size(), data.size());

  // Bytes after the body are ignored; the stream stays where the body ended.
  std::stringstream in(container + "trailing");
  in.seekg(7);
  Decoded decoded = decode(binary_patch, in);
  ASSERT_TRUE(decoded.data.has_value());
  EXPECT_EQ(*decoded.data, data);
  EXPECT_EQ(decoded.outSize, data.size());
  EXPECT_EQ(decoded.log, "");
  EXPECT_EQ(in.tellg(), std::streampos(kHeaderSize + compressedLength));
}

TEST(Container, GenericAcceptsAnyTagButOthersNeedTheirOwn) {
  Bytes data = sampleData();
  Decoded asGeneric = decode(generic, encoded(binary_patch, data));
  ASSERT_TRUE(asGeneric.data.has_value());
  EXPECT_EQ(*asGeneric.data, data);

  std::stringstream in(encoded(generic, data));
  Decoded asPatch = decode(binary_patch, in);
  EXPECT_FALSE(asPatch.data.has_value());
  EXPECT_EQ(asPatch.outSize, 0u);
  EXPECT_EQ(asPatch.log, "");
  expectRewound(in);

  // The update run tries the patch type first and then any container on
  // the same stream.
  Decoded second = decode(generic, in);
  ASSERT_TRUE(second.data.has_value());
  EXPECT_EQ(*second.data, data);

  // A tag differing only in its padding does not match.
  std::string container = encoded(world_xml, data);
  container[31] = '_';
  EXPECT_FALSE(decode(world_xml, container).data.has_value());
}

TEST(Container, UnknownTypeUsesTheBlankTag) {
  Bytes data = sampleData();
  std::string container;
  {
    LogCapture log;
    container = encoded(9, data);
    EXPECT_EQ(log.written(), errorRecord("unknown compressed file type 9"));
  }
  EXPECT_EQ(container.substr(0, 32), compressedTag(generic));

  Decoded blank = decode(9, container);
  ASSERT_TRUE(blank.data.has_value());
  EXPECT_EQ(*blank.data, data);
  EXPECT_EQ(blank.log, errorRecord("unknown compressed file type 9"));

  Decoded patch = decode(9, encoded(binary_patch, data));
  EXPECT_FALSE(patch.data.has_value());
  EXPECT_EQ(patch.log, errorRecord("unknown compressed file type 9"));
}

TEST(Container, ShortStreams) {
  Decoded tiny = decode(generic, std::string("quor_compress"));
  EXPECT_FALSE(tiny.data.has_value());
  EXPECT_EQ(tiny.log, "");

  // Both lengths read as 0, which is not a zlib stream.
  std::istringstream in(std::string("quor_compressed:\x01\x02\x03\x04", 20));
  Decoded headerOnly = decode(generic, in);
  EXPECT_FALSE(headerOnly.data.has_value());
  EXPECT_EQ(headerOnly.log, errorRecord("zlib: corrupted or incomplete data"));
  expectRewound(in);
}

TEST(Container, DamagedBodies) {
  Bytes data = sampleData();
  const std::string good = encoded(generic, data);
  struct Case {
    const char* name;
    std::string container;
    const char* message;
  };
  std::vector<Case> cases;

  std::string badChecksum = good;
  badChecksum.back() = char(badChecksum.back() ^ 0x55);
  cases.push_back({"bad Adler-32", badChecksum, "zlib: corrupted or incomplete data"});

  std::string badDeflate = good;
  for (size_t i = kHeaderSize + 2; i < kHeaderSize + 40; ++i) badDeflate[i] = char(0xFF);
  cases.push_back({"bad deflate data", badDeflate, "zlib: corrupted or incomplete data"});

  cases.push_back({"truncated body", good.substr(0, good.size() - 30),
                   "zlib: corrupted or incomplete data"});

  std::string tooLong = good;  // the body inflates to more than the header says
  setU32(tooLong, 36, uint32_t(data.size() - 1));
  cases.push_back({"too long", tooLong, "zlib: not enough space in the buffer to uncompress"});

  std::string tooShort = good;  // and here to fewer
  setU32(tooShort, 36, uint32_t(data.size() + 1));
  cases.push_back({"too short", tooShort, "different size"});

  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::stringstream in(c.container);
    Decoded decoded = decode(generic, in);
    EXPECT_FALSE(decoded.data.has_value());
    EXPECT_EQ(decoded.outSize, 0u);
    EXPECT_EQ(decoded.log, errorRecord(c.message));
    expectRewound(in);
  }
}

// Header lengths near 4 GiB in front of small bodies must not cost 4 GiB.
TEST(Container, HugeLengthsCostNoMemory) {
  Bytes data = sampleData();
  const std::string good = encoded(generic, data);
  testing::ScopedAddressSpaceLimit limit(size_t(512) << 20);
  if (limit.active()) {
    EXPECT_THROW(Bytes(size_t(1) << 32), std::bad_alloc);
  }

  std::string hugeCompressed = good;
  setU32(hugeCompressed, 32, 0xFFFFFFFF);
  setU32(hugeCompressed, 36, 0xFFFFFFFF);
  std::string hugeCompressedTruncated = hugeCompressed.substr(0, good.size() - 30);
  std::string hugeUncompressed = good;
  setU32(hugeUncompressed, 36, 0xFFFFFFFF);
  std::string hugeUncompressedTruncated = hugeUncompressed.substr(0, good.size() - 30);

  EXPECT_EQ(decode(generic, hugeCompressed).log, errorRecord("different size"));
  EXPECT_EQ(decode(generic, hugeUncompressed).log, errorRecord("different size"));
  EXPECT_EQ(decode(generic, hugeCompressedTruncated).log,
            errorRecord("zlib: corrupted or incomplete data"));
  EXPECT_EQ(decode(generic, hugeUncompressedTruncated).log,
            errorRecord("zlib: corrupted or incomplete data"));

  std::string headerOnly = good.substr(0, kHeaderSize);
  std::stringstream in(headerOnly);
  Decoded empty = decode(generic, in);
  EXPECT_FALSE(empty.data.has_value());
  EXPECT_EQ(empty.log, errorRecord("zlib: corrupted or incomplete data"));
  expectRewound(in);
}

// Accepts the first `room` bytes, then fails every write.
class FullBuffer : public std::streambuf {
 public:
  explicit FullBuffer(size_t room) : room_(room) {}

 protected:
  std::streamsize xsputn(const char*, std::streamsize count) override {
    std::streamsize taken = std::min<std::streamsize>(count, std::streamsize(room_));
    room_ -= size_t(taken);
    return taken;
  }
  int_type overflow(int_type ch) override {
    if (room_ == 0) return traits_type::eof();
    --room_;
    return traits_type::not_eof(ch);
  }

 private:
  size_t room_;
};

TEST(Container, EncodeReportsAFailedStream) {
  Bytes data = sampleData();
  for (size_t room : {size_t(0), size_t(20), size_t(100)}) {
    FullBuffer buffer(room);
    std::ostream out(&buffer);
    EXPECT_FALSE(containerEncode(generic, data.data(), uint32_t(data.size()), out).ok()) << room;
  }
}

}  // namespace
}  // namespace quor
