// MD5 message digest (RFC 1321) and the 32-bit file checksum derived from it.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "platform/crypto.h"

namespace quor {

class MD5 {
 public:
  MD5();

  // Adds length bytes to the digest. Refused with an error line once the
  // digest is finalized.
  void update(const uint8_t* input, uint32_t length);
  // Pads the message, appends the bit count and fills the digest.
  void finalize();
  // The 16 digest bytes; none (with an error line) before finalize.
  std::optional<std::array<uint8_t, 16>> raw_digest() const;

 private:
  void transform(const uint8_t block[64]);

  uint32_t state[4];
  uint32_t count[2];
  uint8_t buffer[64];
  uint8_t digest[16];
  bool finalized;
};

// Signed 32-bit checksum of a file: the product, modulo 2^32, of the four
// little-endian words of its MD5 digest. 0 for an empty, missing or
// unreadable file; a read error ends the digest at the bytes read so far.
int32_t fileChecksum(std::string path);

// The same fold applied to bytes in memory (0 for no bytes), so content
// received over the network can be compared with a manifest's checksum.
int32_t bytesChecksum(const uint8_t* data, size_t size);

// The checksum of bytes that arrive in pieces, for content too large to
// hold: after all pieces are added, value() equals bytesChecksum of their
// concatenation.
// Its digest is the system library's MD5 (platform/crypto.h), the same
// digest as the MD5 class's at about a quarter more speed, since every scan
// and every installed byte goes through it.
class ChecksumBuilder {
 public:
  void add(const uint8_t* data, size_t size);
  // Ends the digest; call once, after the last add.
  int32_t value();

 private:
  Md5 md5_;
  bool empty_ = true;
};

}  // namespace quor
