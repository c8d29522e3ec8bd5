// What both systems' hashing shares: the one-call SHA-256 on top of the
// streaming one each backend provides.

#include "platform/crypto.h"

namespace quor {

Sha256Digest sha256Of(const uint8_t* data, size_t size) {
  Sha256 hash;
  hash.add(data, size);
  return hash.finish();
}

}  // namespace quor
