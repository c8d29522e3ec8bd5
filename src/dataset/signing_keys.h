// The key files of signed updates (names in dataset/layout.h):
//   updater.key    the public key players check with: 72 bytes,
//                  "QUORPUB1", then X || Y (platform/crypto.h)
//   publisher.key  the private key the publisher signs with: 104 bytes,
//                  "QUORPRV1", then d, then X || Y
// A file of another size or magic is refused as kCorrupt.
#pragma once

#include <string>

#include "base/encoding.h"
#include "base/status.h"
#include "platform/crypto.h"

namespace quor {

Bytes encodePublicKeyFile(const PublicKey& key);
Bytes encodePrivateKeyFile(const KeyPair& keys);

Status readPublicKeyFile(const std::string& path, PublicKey* key);
Status readPrivateKeyFile(const std::string& path, KeyPair* keys);

}  // namespace quor
