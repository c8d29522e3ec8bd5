// Signed updates on the player's side. A game folder that holds
// updater.key takes only what its publisher signed: manifest.sig
// (dataset/signature_file.h) is fetched before the manifest and must
// verify with that key, name the manifest's exact bytes, be unexpired, and
// carry a version no lower than the highest installed before (kept in
// updater.version, dataset/layout.h). Then every update data file must
// have the size and SHA-256 it names before it is used, and every file
// written the SHA-256 it names for its path. A refusal is one error line
// and changes nothing.
//
// Without updater.key none of this happens, whatever the server offers.
// Called from the update run's thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "base/encoding.h"
#include "base/status.h"
#include "dataset/manifest.h"
#include "dataset/signature_file.h"
#include "platform/crypto.h"
#include "update/update_source.h"
#include "update/file_update_controller.h"
#include "update/reply_wait.h"

namespace quor {

// What an accepted signature file promises about this run's data.
class SignedUpdate {
 public:
  explicit SignedUpdate(SignatureFile file) : file_(std::move(file)) {}

  // The size the signature gives the update data file name; none when it
  // does not list it.
  std::optional<uint64_t> dataFileSize(const std::string& name) const;
  // Whether received bytes, or a staged file, are the update data file
  // name as signed. The failure's message names the file.
  Status checkDataBytes(const std::string& name, const Bytes& data) const;
  Status checkDataFile(const std::string& name, const std::string& path) const;
  // The SHA-256 the game file at path must have; none when unlisted.
  const Sha256Digest* gameFileDigest(const std::string& path) const;

  uint64_t version() const { return file_.dataSetVersion; }

 private:
  SignatureFile file_;
};

// Whether the game folder asks for signed updates. kRequired fills key;
// kUnusable (an updater.key that cannot be read) has logged its one
// refusal line, and the run then changes nothing.
enum class SigningDemand { kNone, kRequired, kUnusable };
SigningDemand readSigningDemand(PublicKey* key);

// Asks the server for manifest.sig; before the manifest request, so that
// its reply comes first.
void requestSignatureFile(UpdateSource& source);

// After the manifest has arrived as manifestBytes: awaits manifest.sig
// and checks it and the manifest as described above (now: seconds since
// 1970). On success records the version as installed and returns what
// the signature promises; otherwise logs one error line ending in
// "nothing was updated" and returns none.
std::optional<SignedUpdate> acceptSignedUpdate(FileUpdateController& controller,
                                               const PublicKey& key, const Bytes& manifestBytes,
                                               const Manifest& manifest, uint64_t now,
                                               const ReplyWait& wait = ReplyWait());

// The highest version recorded in the game folder; 0 when none is.
uint64_t installedVersion();

}  // namespace quor
