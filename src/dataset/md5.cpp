#include "dataset/md5.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "log/log.h"
#include "platform/native_path.h"

namespace quor {
namespace {

inline uint32_t rotateLeft(uint32_t x, int n) { return (x << n) | (x >> (32 - n)); }

inline uint32_t loadLE(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

inline void storeLE(uint32_t value, uint8_t* p) {
  p[0] = uint8_t(value);
  p[1] = uint8_t(value >> 8);
  p[2] = uint8_t(value >> 16);
  p[3] = uint8_t(value >> 24);
}

#define MD5_STEP(f, a, b, c, d, x, s, ac) \
  a += f(b, c, d) + (x) + uint32_t(ac);   \
  a = rotateLeft(a, s) + b;

#define MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))

const uint8_t kPadding[64] = {0x80};

}  // namespace

MD5::MD5()
    : state{0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476},
      count{0, 0},
      buffer{},
      digest{},
      finalized(false) {}

void MD5::update(const uint8_t* input, uint32_t length) {
  if (finalized) {
    logError("MD5::update:  Can't update a finalized digest!");
    return;
  }
  uint32_t index = (count[0] >> 3) & 63;
  uint32_t bitsBefore = count[0];
  count[0] += length << 3;
  if (count[0] < bitsBefore) count[1]++;
  count[1] += length >> 29;

  uint32_t partLen = 64 - index;
  uint32_t i = 0;
  if (length >= partLen) {
    std::memcpy(buffer + index, input, partLen);
    transform(buffer);
    for (i = partLen; i + 63 < length; i += 64) transform(input + i);
    index = 0;
  }
  if (length > i) std::memcpy(buffer + index, input + i, length - i);
}

void MD5::finalize() {
  if (finalized) {
    logError("MD5::finalize:  Already finalized this digest!");
    return;
  }
  uint8_t bits[8];
  storeLE(count[0], bits);
  storeLE(count[1], bits + 4);
  uint32_t index = (count[0] >> 3) & 63;
  uint32_t padLen = index < 56 ? 56 - index : 120 - index;
  update(kPadding, padLen);
  update(bits, 8);
  for (int i = 0; i < 4; ++i) storeLE(state[i], digest + 4 * i);
  finalized = true;
}

std::optional<std::array<uint8_t, 16>> MD5::raw_digest() const {
  if (!finalized) {
    logError("MD5::raw_digest:  Can't get digest if you haven't finalized the digest!");
    return std::nullopt;
  }
  std::array<uint8_t, 16> copy;
  std::memcpy(copy.data(), digest, 16);
  return copy;
}

void MD5::transform(const uint8_t block[64]) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  uint32_t x[16];
  for (int i = 0; i < 16; ++i) x[i] = loadLE(block + 4 * i);

  MD5_STEP(MD5_F, a, b, c, d, x[0], 7, 0xd76aa478)
  MD5_STEP(MD5_F, d, a, b, c, x[1], 12, 0xe8c7b756)
  MD5_STEP(MD5_F, c, d, a, b, x[2], 17, 0x242070db)
  MD5_STEP(MD5_F, b, c, d, a, x[3], 22, 0xc1bdceee)
  MD5_STEP(MD5_F, a, b, c, d, x[4], 7, 0xf57c0faf)
  MD5_STEP(MD5_F, d, a, b, c, x[5], 12, 0x4787c62a)
  MD5_STEP(MD5_F, c, d, a, b, x[6], 17, 0xa8304613)
  MD5_STEP(MD5_F, b, c, d, a, x[7], 22, 0xfd469501)
  MD5_STEP(MD5_F, a, b, c, d, x[8], 7, 0x698098d8)
  MD5_STEP(MD5_F, d, a, b, c, x[9], 12, 0x8b44f7af)
  MD5_STEP(MD5_F, c, d, a, b, x[10], 17, 0xffff5bb1)
  MD5_STEP(MD5_F, b, c, d, a, x[11], 22, 0x895cd7be)
  MD5_STEP(MD5_F, a, b, c, d, x[12], 7, 0x6b901122)
  MD5_STEP(MD5_F, d, a, b, c, x[13], 12, 0xfd987193)
  MD5_STEP(MD5_F, c, d, a, b, x[14], 17, 0xa679438e)
  MD5_STEP(MD5_F, b, c, d, a, x[15], 22, 0x49b40821)

  MD5_STEP(MD5_G, a, b, c, d, x[1], 5, 0xf61e2562)
  MD5_STEP(MD5_G, d, a, b, c, x[6], 9, 0xc040b340)
  MD5_STEP(MD5_G, c, d, a, b, x[11], 14, 0x265e5a51)
  MD5_STEP(MD5_G, b, c, d, a, x[0], 20, 0xe9b6c7aa)
  MD5_STEP(MD5_G, a, b, c, d, x[5], 5, 0xd62f105d)
  MD5_STEP(MD5_G, d, a, b, c, x[10], 9, 0x02441453)
  MD5_STEP(MD5_G, c, d, a, b, x[15], 14, 0xd8a1e681)
  MD5_STEP(MD5_G, b, c, d, a, x[4], 20, 0xe7d3fbc8)
  MD5_STEP(MD5_G, a, b, c, d, x[9], 5, 0x21e1cde6)
  MD5_STEP(MD5_G, d, a, b, c, x[14], 9, 0xc33707d6)
  MD5_STEP(MD5_G, c, d, a, b, x[3], 14, 0xf4d50d87)
  MD5_STEP(MD5_G, b, c, d, a, x[8], 20, 0x455a14ed)
  MD5_STEP(MD5_G, a, b, c, d, x[13], 5, 0xa9e3e905)
  MD5_STEP(MD5_G, d, a, b, c, x[2], 9, 0xfcefa3f8)
  MD5_STEP(MD5_G, c, d, a, b, x[7], 14, 0x676f02d9)
  MD5_STEP(MD5_G, b, c, d, a, x[12], 20, 0x8d2a4c8a)

  MD5_STEP(MD5_H, a, b, c, d, x[5], 4, 0xfffa3942)
  MD5_STEP(MD5_H, d, a, b, c, x[8], 11, 0x8771f681)
  MD5_STEP(MD5_H, c, d, a, b, x[11], 16, 0x6d9d6122)
  MD5_STEP(MD5_H, b, c, d, a, x[14], 23, 0xfde5380c)
  MD5_STEP(MD5_H, a, b, c, d, x[1], 4, 0xa4beea44)
  MD5_STEP(MD5_H, d, a, b, c, x[4], 11, 0x4bdecfa9)
  MD5_STEP(MD5_H, c, d, a, b, x[7], 16, 0xf6bb4b60)
  MD5_STEP(MD5_H, b, c, d, a, x[10], 23, 0xbebfbc70)
  MD5_STEP(MD5_H, a, b, c, d, x[13], 4, 0x289b7ec6)
  MD5_STEP(MD5_H, d, a, b, c, x[0], 11, 0xeaa127fa)
  MD5_STEP(MD5_H, c, d, a, b, x[3], 16, 0xd4ef3085)
  MD5_STEP(MD5_H, b, c, d, a, x[6], 23, 0x04881d05)
  MD5_STEP(MD5_H, a, b, c, d, x[9], 4, 0xd9d4d039)
  MD5_STEP(MD5_H, d, a, b, c, x[12], 11, 0xe6db99e5)
  MD5_STEP(MD5_H, c, d, a, b, x[15], 16, 0x1fa27cf8)
  MD5_STEP(MD5_H, b, c, d, a, x[2], 23, 0xc4ac5665)

  MD5_STEP(MD5_I, a, b, c, d, x[0], 6, 0xf4292244)
  MD5_STEP(MD5_I, d, a, b, c, x[7], 10, 0x432aff97)
  MD5_STEP(MD5_I, c, d, a, b, x[14], 15, 0xab9423a7)
  MD5_STEP(MD5_I, b, c, d, a, x[5], 21, 0xfc93a039)
  MD5_STEP(MD5_I, a, b, c, d, x[12], 6, 0x655b59c3)
  MD5_STEP(MD5_I, d, a, b, c, x[3], 10, 0x8f0ccc92)
  MD5_STEP(MD5_I, c, d, a, b, x[10], 15, 0xffeff47d)
  MD5_STEP(MD5_I, b, c, d, a, x[1], 21, 0x85845dd1)
  MD5_STEP(MD5_I, a, b, c, d, x[8], 6, 0x6fa87e4f)
  MD5_STEP(MD5_I, d, a, b, c, x[15], 10, 0xfe2ce6e0)
  MD5_STEP(MD5_I, c, d, a, b, x[6], 15, 0xa3014314)
  MD5_STEP(MD5_I, b, c, d, a, x[13], 21, 0x4e0811a1)
  MD5_STEP(MD5_I, a, b, c, d, x[4], 6, 0xf7537e82)
  MD5_STEP(MD5_I, d, a, b, c, x[11], 10, 0xbd3af235)
  MD5_STEP(MD5_I, c, d, a, b, x[2], 15, 0x2ad7d2bb)
  MD5_STEP(MD5_I, b, c, d, a, x[9], 21, 0xeb86d391)

  state[0] += a;
  state[1] += b;
  state[2] += c;
  state[3] += d;
}

namespace {

int32_t foldDigest(const std::array<uint8_t, 16>& digest) {
  uint32_t product = 1;
  for (int i = 0; i < 4; ++i) product *= loadLE(digest.data() + 4 * i);
  return static_cast<int32_t>(product);
}

// Read size of the checksum loop: large enough that the per-read cost
// vanishes beside the digest, small enough to stay in the second-level cache.
constexpr size_t kChunkSize = 64 * 1024;

}  // namespace

void ChecksumBuilder::add(const uint8_t* data, size_t size) {
  if (size != 0) empty_ = false;
  md5_.add(data, size);
}

int32_t ChecksumBuilder::value() {
  if (empty_) return 0;
  return foldDigest(md5_.finish());
}

int32_t fileChecksum(std::string path) {
  FILE* file = openFile(path, "rb");
  if (file == nullptr) return 0;
  std::unique_ptr<FILE, int (*)(FILE*)> closer(file, std::fclose);
  auto chunk = std::make_unique<uint8_t[]>(kChunkSize);
  ChecksumBuilder checksum;
  size_t got;
  do {  // until the end of the file or a read error
    got = std::fread(chunk.get(), 1, kChunkSize, file);
    checksum.add(chunk.get(), got);
  } while (got == kChunkSize);
  return checksum.value();
}

int32_t bytesChecksum(const uint8_t* data, size_t size) {
  ChecksumBuilder checksum;
  checksum.add(data, size);
  return checksum.value();
}

}  // namespace quor
