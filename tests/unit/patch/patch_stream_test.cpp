#include "patch/patch_stream.h"

#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "base/byte_stream.h"
#include "patch/diff.h"
#include "patch/patch.h"
#include "patch_test_helpers.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

class CollectingSink : public ByteSink {
 public:
  Status write(const uint8_t* data, size_t size) override {
    bytes.insert(bytes.end(), data, data + size);
    return {};
  }
  Bytes bytes;
};

struct Verdict {
  std::string message;
  Bytes result;
};

// A body that is there, even empty: bspatch takes null for one that could
// not be decoded, which a stream never meets.
Verdict inMemory(const Bytes& old, const Bytes& body) {
  static const uint8_t kNoBytes = 0;
  Status status;
  std::optional<Bytes> result =
      testing::patched(old.data(), uint32_t(old.size()), body.empty() ? &kNoBytes : body.data(),
                       uint32_t(body.size()), &status);
  return {status.message(), result.value_or(Bytes{})};
}

Verdict streamed(const Bytes& old, const Bytes& body) {
  MemorySource bodySource(body.data(), body.size());
  MemorySource oldSource(old.data(), old.size());
  CollectingSink sink;
  Status status = applyPatchStream(bodySource, oldSource, sink);
  return {status.message(), status.ok() ? sink.bytes : Bytes{}};
}

Bytes patchBody(const Bytes& old, const Bytes& newData) {
  std::ostringstream out;
  EXPECT_TRUE(bsdiff(old.data(), uint32_t(old.size()), newData.data(), uint32_t(newData.size()),
                     out).ok());
  std::optional<Bytes> body = testing::decodedContainer(binary_patch, out.str());
  EXPECT_TRUE(body.has_value());
  return body.value_or(Bytes{});
}

// old with pieces inserted, deleted and moved.
Bytes edited(const Bytes& old, std::mt19937& random) {
  Bytes data = old;
  for (int edit = 0; edit < 12 && !data.empty(); ++edit) {
    size_t at = random() % data.size();
    size_t length = std::min<size_t>(1 + random() % 600, data.size() - at);
    Bytes piece(data.begin() + long(at), data.begin() + long(at + length));
    data.erase(data.begin() + long(at), data.begin() + long(at + length));
    if (edit % 3 == 0) continue;  // deleted
    if (edit % 3 == 1) piece = testing::randomOver(length, 256, random);  // replaced
    size_t to = data.empty() ? 0 : random() % data.size();
    data.insert(data.begin() + long(to), piece.begin(), piece.end());  // moved
  }
  return data;
}

// Offsets of the control triples of a well-formed body.
std::vector<size_t> controlOffsets(const Bytes& body) {
  std::vector<size_t> offsets;
  for (size_t at = kPatchHeaderSize; at + kControlSize <= body.size();) {
    offsets.push_back(at);
    ControlTriple control = decodeControl(&body[at]);
    at += kControlSize + size_t(control.diffLength + control.extraLength);
  }
  return offsets;
}

void setNewLength(Bytes& body, uint32_t length) {
  for (int i = 0; i < 4; ++i) body[kPatchMagicSize + i] = uint8_t(length >> (8 * i));
}

// Sound bodies and the ways they can be damaged.
std::vector<Bytes> damagedVersions(const Bytes& good, size_t steps) {
  std::vector<Bytes> versions{good};
  const size_t stride = std::max<size_t>(1, good.size() / steps);
  for (size_t cut = 0; cut < good.size(); cut += cut < 48 || cut + 8 > good.size() ? 1 : stride) {
    versions.emplace_back(good.begin(), good.begin() + long(cut));
  }
  for (size_t control : controlOffsets(good)) {
    for (size_t byte : {0, 3, 7, 8, 12, 15, 16, 20, 23}) {
      versions.push_back(good);
      versions.back()[control + byte] ^= uint8_t(byte % 8 == 7 ? 0x80 : 0x11);
    }
  }
  uint32_t newLength = ByteReader(good.data(), good.size(), kPatchMagicSize).u32();
  for (uint32_t length : {0u, 1u, newLength - 1, newLength + 1, 0x7FFFFFFFu, 0xFFFFFFFFu}) {
    versions.push_back(good);
    setNewLength(versions.back(), length);
  }
  versions.push_back(good);
  versions.back().push_back(0);
  versions.push_back(good);
  versions.back()[3] = 'x';
  return versions;
}

TEST(PatchStream, AgreesWithBspatch) {
  std::mt19937 random(11);
  Bytes smallOld = testing::randomOver(3000, 4, random);
  // Records longer than the 256 KiB pieces the stream works in.
  Bytes largeOld = testing::randomOver(700 * 1024, 256, random);
  Bytes largeNew = edited(largeOld, random);

  struct Pair {
    Bytes old;
    Bytes body;
    size_t steps;
  };
  std::vector<Pair> pairs{
      {smallOld, patchBody(smallOld, edited(smallOld, random)), 400},
      {{}, patchBody({}, smallOld), 40},
      {smallOld, patchBody(smallOld, {}), 40},
      {largeOld, patchBody(largeOld, largeNew), 10},
  };
  // Old positions outside the old file: the diff bytes stand as they are.
  Bytes outside(patchMagic, patchMagic + kPatchMagicSize);
  outside.resize(kPatchHeaderSize + 2 * kControlSize + 6);
  setNewLength(outside, 6);
  writeOffset(2, &outside[20]);
  writeOffset(1, &outside[28]);
  writeOffset(-10, &outside[36]);
  writeOffset(3, &outside[47]);
  writeOffset(0, &outside[55]);
  writeOffset(int64_t(1) << 40, &outside[63]);
  pairs.push_back({smallOld, outside, 40});

  int accepted = 0;
  for (const Pair& pair : pairs) {
    // The patch also meets a shorter old file and none at all.
    Bytes shortOld(pair.old.begin(), pair.old.begin() + long(pair.old.size() / 2));
    for (const Bytes& old : {pair.old, shortOld, Bytes{}}) {
      for (const Bytes& body : damagedVersions(pair.body, pair.steps)) {
        SCOPED_TRACE("old " + std::to_string(old.size()) + " body " + std::to_string(body.size()));
        Verdict expected = inMemory(old, body);
        Verdict actual = streamed(old, body);
        ASSERT_EQ(actual.message, expected.message);
        ASSERT_TRUE(actual.result == expected.result);
        if (expected.message.empty()) ++accepted;
      }
    }
  }
  EXPECT_GT(accepted, 15);
  EXPECT_EQ(streamed(largeOld, pairs[3].body).result, largeNew);
}

}  // namespace
}  // namespace quor
