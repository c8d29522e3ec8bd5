// Create mode's signing (--sign FILE): after the data set is written,
// manifest.sig names its version and expiry and the SHA-256 and size of
// the manifest, of every update data file and of every game file, signed
// with the publisher's private key (dataset/signature_file.h).
//
// Memory: one read buffer, plus the list of files. Costs one more reading
// of the update data folder. Called from one thread.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include "base/status.h"
#include "dataset/signature_file.h"
#include "platform/crypto.h"

namespace quor {

// How long a signature is accepted when --expires is not given.
inline constexpr uint64_t kDefaultExpiryDays = 90;
inline constexpr uint64_t kMaxExpiryDays = 36500;

struct SigningRequest {
  std::string privateKeyFile;      // --sign FILE
  std::optional<uint64_t> version; // --version N; default: the time of creation in seconds
  uint64_t expiryDays = kDefaultExpiryDays;  // --expires DAYS
};

// Writes kUpdateDataFolder + manifest.sig for the data set there: every
// file of the folder but the signature itself is listed as update data,
// manifest.manifest apart. gameFiles holds what create mode published of
// each manifest path; now is the time of creation in seconds.
Status writeSignatureFile(const KeyPair& keys, const SigningRequest& request,
                          const std::map<std::string, SignedFile>& gameFiles, uint64_t now);

}  // namespace quor
