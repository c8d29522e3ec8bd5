#include "update/signed_update.h"

#include <ctime>
#include <filesystem>
#include <system_error>

#include "dataset/layout.h"
#include "dataset/signing_keys.h"
#include "fs/file_io.h"
#include "log/log.h"
#include "platform/native_path.h"

namespace quor {
namespace {

// updater.version holds one decimal number; anything longer is not ours.
constexpr size_t kMaxVersionFileSize = 64;

void refuse(const std::string& why) { logError(why + ": nothing was updated"); }

std::string utcText(uint64_t seconds) {
  std::time_t time = static_cast<std::time_t>(seconds);
  std::tm parts{};
#if defined(_WIN32)
  gmtime_s(&parts, &time);
#else
  gmtime_r(&time, &parts);
#endif
  char text[32];
  std::strftime(text, sizeof text, "%Y-%m-%d %H:%M UTC", &parts);
  return text;
}

Status checkAgainst(const std::string& name, const SignedFile* expected, uint64_t size,
                    const Sha256Digest& digest) {
  if (expected == nullptr) return Status::corrupt(name + " is not named in manifest.sig");
  if (expected->size != size) {
    return Status::corrupt(name + " has " + std::to_string(size) + " bytes, manifest.sig says " +
                           std::to_string(expected->size));
  }
  if (expected->sha256 != digest) return Status::corrupt(name + " does not match manifest.sig");
  return {};
}

const SignedFile* find(const std::map<std::string, SignedFile>& files, const std::string& name) {
  auto found = files.find(name);
  return found == files.end() ? nullptr : &found->second;
}

std::optional<ReceivedFile> awaitSignatureFile(FileUpdateController& controller,
                                               const ReplyWait& wait) {
  return awaitTaken(controller, wait,
                    [&controller] { return controller.takeReceivedFile(kSignatureFileName); });
}

// Every file the manifest lists is named in the signature, so that no
// file is written unchecked.
bool coversManifest(const SignatureFile& file, const Manifest& manifest) {
  for (const auto& [path, entry] : manifest.files) {
    if (!file.gameFiles.contains(path)) return false;
  }
  return true;
}

// Records version as the highest installed, unless a higher one is.
void recordVersion(uint64_t version) {
  if (version <= installedVersion()) return;
  std::string text = std::to_string(version) + "\n";
  Status written = writeFileAtomically(kInstalledVersionFile,
                                       reinterpret_cast<const uint8_t*>(text.data()), text.size());
  if (!written.ok()) logError(written.message());
}

}  // namespace

std::optional<uint64_t> SignedUpdate::dataFileSize(const std::string& name) const {
  const SignedFile* signedFile = find(file_.dataFiles, name);
  if (signedFile == nullptr) return std::nullopt;
  return signedFile->size;
}

Status SignedUpdate::checkDataBytes(const std::string& name, const Bytes& data) const {
  return checkAgainst(name, find(file_.dataFiles, name), data.size(),
                      sha256Of(data.data(), data.size()));
}

Status SignedUpdate::checkDataFile(const std::string& name, const std::string& path) const {
  SignedFile staged;
  Status hashed = hashFile(path, &staged);
  if (!hashed.ok()) return hashed;
  return checkAgainst(name, find(file_.dataFiles, name), staged.size, staged.sha256);
}

const Sha256Digest* SignedUpdate::gameFileDigest(const std::string& path) const {
  const SignedFile* signedFile = find(file_.gameFiles, path);
  return signedFile == nullptr ? nullptr : &signedFile->sha256;
}

SigningDemand readSigningDemand(PublicKey* key) {
  std::error_code ec;
  auto type = std::filesystem::symlink_status(toNativePath(kPublicKeyFile), ec).type();
  if (type == std::filesystem::file_type::not_found) return SigningDemand::kNone;
  Status read = readPublicKeyFile(kPublicKeyFile, key);
  if (read.ok()) return SigningDemand::kRequired;
  refuse(std::string(kPublicKeyFile) + " cannot be used (" + read.message() + ")");
  return SigningDemand::kUnusable;
}

void requestSignatureFile(UpdateSource& source) { source.requestFile(kSignatureFileName); }

std::optional<SignedUpdate> acceptSignedUpdate(FileUpdateController& controller,
                                               const PublicKey& key, const Bytes& manifestBytes,
                                               const Manifest& manifest, uint64_t now,
                                               const ReplyWait& wait) {
  std::optional<ReceivedFile> reply = awaitSignatureFile(controller, wait);
  if (!reply || reply->size == 0 || !reply->data) {
    refuse("the server sent no manifest.sig, and this game takes signed updates only");
    return std::nullopt;
  }
  SignatureFile file;
  Status opened = openSignatureFile(reply->data->data(), reply->data->size(), key, &file);
  if (!opened.ok()) {
    refuse("manifest.sig is not signed by this game's publisher (" + opened.message() + ")");
    return std::nullopt;
  }
  Sha256Digest manifestDigest = sha256Of(manifestBytes.data(), manifestBytes.size());
  if (file.manifest.size != manifestBytes.size() || file.manifest.sha256 != manifestDigest ||
      !coversManifest(file, manifest)) {
    refuse("the manifest is not the one manifest.sig signs");
    return std::nullopt;
  }
  if (now >= file.expiresAt) {
    refuse("manifest.sig expired on " + utcText(file.expiresAt));
    return std::nullopt;
  }
  uint64_t installed = installedVersion();
  if (file.dataSetVersion < installed) {
    refuse("manifest.sig is of version " + std::to_string(file.dataSetVersion) +
           ", older than version " + std::to_string(installed) + " installed before");
    return std::nullopt;
  }
  recordVersion(file.dataSetVersion);
  logLine("... manifest.sig verified: version " + std::to_string(file.dataSetVersion));
  return SignedUpdate(std::move(file));
}

uint64_t installedVersion() {
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(toNativePath(kInstalledVersionFile), ec);
  Bytes bytes;
  if (ec || size > kMaxVersionFileSize || !readWholeFile(kInstalledVersionFile, &bytes).ok()) {
    return 0;
  }
  uint64_t version = 0;
  for (uint8_t c : bytes) {
    if (c < '0' || c > '9') break;
    if (version > (UINT64_MAX - (c - '0')) / 10) return UINT64_MAX;
    version = version * 10 + (c - '0');
  }
  return version;
}

}  // namespace quor
