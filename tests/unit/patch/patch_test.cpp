#include "patch/patch.h"

#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "patch_test_helpers.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::errorRecord;

// Builds patch bodies record by record.
class BodyBuilder {
 public:
  explicit BodyBuilder(uint32_t newLength) {
    body_.assign(patchMagic, patchMagic + kPatchMagicSize);
    ByteWriter length;
    length.u32(newLength);
    bytes(length.bytes());
  }
  BodyBuilder& control(int64_t diffLength, int64_t extraLength, int64_t oldSeek) {
    for (int64_t value : {diffLength, extraLength, oldSeek}) {
      uint8_t encoded[8];
      writeOffset(value, encoded);
      body_.insert(body_.end(), encoded, encoded + 8);
    }
    return *this;
  }
  BodyBuilder& bytes(const Bytes& data) {
    body_.insert(body_.end(), data.begin(), data.end());
    return *this;
  }
  const Bytes& body() const { return body_; }

 private:
  Bytes body_;
};

struct Applied {
  std::optional<Bytes> result;
  std::string log;
};

// log: the line a caller reports for a refused patch.
Applied applyBody(const Bytes& old, const Bytes& body) {
  Applied applied;
  Status status;
  applied.result = testing::patched(old.empty() ? nullptr : old.data(), uint32_t(old.size()),
                                    body.data(), uint32_t(body.size()), &status);
  if (!status.ok()) applied.log = errorRecord(status.message());
  return applied;
}

void expectProduces(const Applied& applied, const Bytes& expected) {
  ASSERT_TRUE(applied.result.has_value()) << applied.log;
  EXPECT_EQ(*applied.result, expected);
  EXPECT_EQ(applied.log, "");
}

void expectCorrupt(const Applied& applied) {
  EXPECT_FALSE(applied.result.has_value());
  EXPECT_EQ(applied.log, errorRecord("bspatch: corrupt patch"));
}

Bytes encodedOffset(int64_t value) {
  Bytes encoded(8);
  writeOffset(value, encoded.data());
  return encoded;
}

TEST(Patch, OffsetEncodingSignAndMagnitude) {
  EXPECT_EQ(encodedOffset(5), (Bytes{5, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encodedOffset(-5), (Bytes{5, 0, 0, 0, 0, 0, 0, 0x80}));
  EXPECT_EQ(encodedOffset(300), (Bytes{0x2C, 1, 0, 0, 0, 0, 0, 0}));
  EXPECT_EQ(encodedOffset(0), Bytes(8, 0));

  for (int64_t value : {int64_t(0), int64_t(1), int64_t(-1), int64_t(0x123456789ABCDEF),
                        -int64_t(0x123456789ABCDEF), std::numeric_limits<int64_t>::max(),
                        -std::numeric_limits<int64_t>::max()}) {
    EXPECT_EQ(readOffset(encodedOffset(value).data()), value);
  }
  Bytes negativeZero{0, 0, 0, 0, 0, 0, 0, 0x80};
  EXPECT_EQ(readOffset(negativeZero.data()), 0);
}

TEST(Patch, BspatchHeaderRefusals) {
  {
    Bytes result;
    Status status = bspatch(nullptr, 0, nullptr, 0, &result);
    EXPECT_EQ(status.message(), "bspatch: failed to decompress");
  }
  Bytes header = BodyBuilder(0).body();
  Bytes short19(header.begin(), header.end() - 1);
  Applied tooSmall = applyBody({}, short19);
  EXPECT_FALSE(tooSmall.result.has_value());
  EXPECT_EQ(tooSmall.log, errorRecord("bspatch: too small"));

  Bytes nulInMagic = header;
  nulInMagic[15] = 0;
  Applied wrongHeader = applyBody({}, nulInMagic);
  EXPECT_FALSE(wrongHeader.result.has_value());
  EXPECT_EQ(wrongHeader.log, errorRecord("bspatch: wrong header"));
}

TEST(Patch, BspatchEmptyNewFile) {
  Applied empty = applyBody({1, 2, 3}, BodyBuilder(0).body());
  expectProduces(empty, {});
}

TEST(Patch, BspatchDiffBytesAddTheOldFileWhereItExists) {
  // The first record moves the old position to −1, so the first diff byte
  // of the next record has no old counterpart.
  Bytes body = BodyBuilder(3).control(0, 0, -1).control(3, 0, 0).bytes({10, 20, 30}).body();
  expectProduces(applyBody({1, 2}, body), {10, 21, 32});
}

TEST(Patch, BspatchDiffExtraAndSeek) {
  Bytes old{100, 101, 102, 103, 104, 105};
  Bytes body = BodyBuilder(7)
                   .control(2, 1, 2)  // new 100, 101 then 'x'; old moves 2 + 2
                   .bytes(Bytes{0, 0, 'x'})
                   .control(0, 0, 0)  // produces nothing, the loop goes on
                   .control(2, 2, 0)  // old[4], old[5] + 1, then "yz"
                   .bytes(Bytes{0, 1, 'y', 'z'})
                   .body();
  expectProduces(applyBody(old, body), Bytes{100, 101, 'x', 104, 106, 'y', 'z'});
}

TEST(Patch, BspatchOldPositionFarOutsideTheOldFile) {
  Bytes old{1, 2, 3, 4};
  int64_t far = int64_t(1) << 40;
  Bytes body = BodyBuilder(4)
                   .control(0, 0, far)
                   .control(2, 0, -far - 2)  // passes through, then back to 0
                   .bytes({7, 8})
                   .control(2, 0, 0)
                   .bytes({0, 0})
                   .body();
  expectProduces(applyBody(old, body), {7, 8, 1, 2});
  expectProduces(applyBody({}, body), {7, 8, 0, 0});

  // A seek that would leave the 64-bit range is no seek a patch makes.
  int64_t huge = std::numeric_limits<int64_t>::max();
  expectCorrupt(applyBody(old, BodyBuilder(1).control(0, 0, huge).control(0, 0, huge)
                               .control(1, 0, 0).bytes(Bytes{0}).body()));
  expectCorrupt(applyBody(old, BodyBuilder(1).control(0, 0, -huge).control(0, 0, -huge)
                               .control(1, 0, 0).bytes(Bytes{0}).body()));
}

TEST(Patch, BspatchInvalidLengthsAreRefused) {
  Bytes old{1, 2, 3};
  Bytes padding(64, 0);  // enough bytes that no length test is skipped
  expectCorrupt(applyBody(old, BodyBuilder(3).control(-1, 0, 0).bytes(padding).body()));
  expectCorrupt(applyBody(old, BodyBuilder(3).control(0, -1, 0).bytes(padding).body()));
  expectCorrupt(applyBody(old, BodyBuilder(3).control(int64_t(1) << 31, 0, 0).bytes(padding).body()));
  expectCorrupt(applyBody(old, BodyBuilder(3).control(0, int64_t(1) << 31, 0).bytes(padding).body()));
  // Records that run past newLength.
  expectCorrupt(applyBody(old, BodyBuilder(3).control(4, 0, 0).bytes(padding).body()));
  expectCorrupt(applyBody(old, BodyBuilder(3).control(2, 2, 0).bytes(padding).body()));
}

TEST(Patch, BspatchBodiesThatEndEarlyOrGoOn) {
  Bytes old{1, 2, 3};
  Bytes complete = BodyBuilder(3).control(1, 2, 0).bytes(Bytes{0, 'a', 'b'}).body();
  expectProduces(applyBody(old, complete), Bytes{1, 'a', 'b'});

  // No record at all for a non-empty new file.
  expectCorrupt(applyBody(old, BodyBuilder(5).body()));
  // Every cut inside the record.
  for (size_t cut = kPatchHeaderSize + 1; cut < complete.size(); ++cut) {
    SCOPED_TRACE(cut);
    expectCorrupt(applyBody(old, Bytes(complete.begin(), complete.begin() + long(cut))));
  }
  // Bytes after the record that completes the new file.
  Bytes trailing = complete;
  trailing.push_back(0);
  expectCorrupt(applyBody(old, trailing));
  Bytes trailingRecord = BodyBuilder(3).control(1, 2, 0).bytes(Bytes{0, 'a', 'b'})
                             .control(0, 0, 0).body();
  expectCorrupt(applyBody(old, trailingRecord));
  expectCorrupt(applyBody(old, BodyBuilder(0).control(0, 0, 0).body()));
}

// A newLength near 4 GiB over a small body is refused without allocating
// the buffer it claims.
TEST(Patch, BspatchHugeNewLengthWithATinyBody) {
  testing::ScopedAddressSpaceLimit limit(size_t(512) << 20);
  if (limit.active()) {
    EXPECT_THROW(Bytes(size_t(1) << 32), std::bad_alloc);
  }
  Bytes old{1, 2, 3};
  expectCorrupt(applyBody(old, BodyBuilder(0xFFFFFFFF).body()));
  expectCorrupt(applyBody(old, BodyBuilder(0xFFFFFFFF).control(0x7FFFFFFF, 0, 0).bytes({1, 2}).body()));
  expectCorrupt(applyBody(old, BodyBuilder(0x80000000).control(3, 0, 0).bytes({1, 2, 3}).body()));
}

}  // namespace
}  // namespace quor
