#include "create/release_layout.h"

#include <filesystem>
#include <system_error>
#include <vector>

#include "dataset/layout.h"
#include "fs/file_io.h"
#include "platform/crypto.h"
#include "platform/native_path.h"

namespace quor {
namespace {

namespace fs = std::filesystem;

constexpr const char* kPartialSuffix = ".partial";

Status failure(const std::string& what, const std::string& path, const std::error_code& ec) {
  return Status::ioError("cannot " + what + " " + path + ": " + ec.message());
}

// The digest covers the signature too: the same build signed again (a
// new version or expiry) is another release, so its new manifest.sig is
// never kept from players by the folder of the old one.
Status releaseIdOf(std::string* id) {
  std::vector<uint8_t> manifest;
  Status read = readWholeFile(std::string(kUpdateDataFolder) + kManifestName, &manifest);
  if (!read.ok()) return read;
  Sha256 hasher;
  hasher.add(manifest.data(), manifest.size());
  std::string signaturePath = std::string(kUpdateDataFolder) + kSignatureFileName;
  std::error_code ec;
  if (fs::exists(toNativePath(signaturePath), ec)) {
    std::vector<uint8_t> signature;
    read = readWholeFile(signaturePath, &signature);
    if (!read.ok()) return read;
    hasher.add(signature.data(), signature.size());
  }
  Sha256Digest digest = hasher.finish();
  static constexpr char kHex[] = "0123456789abcdef";
  id->clear();
  for (size_t i = 0; id->size() < kReleaseIdLength; ++i) {
    id->push_back(kHex[digest[i] >> 4]);
    id->push_back(kHex[digest[i] & 0xf]);
  }
  return {};
}

// Puts every plain file of the update data folder into folder. Hard links
// are safe here because nothing ever writes into a published file again:
// every output of create mode is written to a temporary file and renamed
// into place, and each run starts by removing the update data folder
// (remove_all, which unlinks), so a later run makes new files rather than
// changing the release's.
Status linkDataFiles(const fs::path& folder) {
  std::error_code ec;
  fs::directory_iterator files(toNativePath(kUpdateDataFolder), ec);
  if (ec) return failure("list", kUpdateDataFolder, ec);
  for (const fs::directory_entry& entry : files) {
    if (!entry.is_regular_file(ec)) continue;
    fs::path target = folder / entry.path().filename();
    fs::create_hard_link(entry.path(), target, ec);
    // Some file systems (FAT, some network shares) have no links.
    if (ec) fs::copy_file(entry.path(), target, ec);
    if (ec) return failure("put into the release", fromNativePath(entry.path()), ec);
  }
  return {};
}

// Builds the release folder under a name no reader takes for a release,
// then renames it into place.
Status buildReleaseFolder(const std::string& id) {
  std::string releases = kReleasesFolder;
  fs::path final = toNativePath(releases + id);
  std::error_code ec;
  if (fs::is_directory(final, ec)) return {};  // the same data set, published before
  fs::path partial = toNativePath(releases + id + kPartialSuffix);
  fs::remove_all(partial, ec);  // left by a run that was cut off
  if (!fs::create_directory(partial, ec) || ec) {
    return failure("create folder", fromNativePath(partial), ec);
  }
  Status linked = linkDataFiles(partial);
  if (linked.ok()) {
    fs::rename(partial, final, ec);
    if (!ec) return {};
    linked = failure("rename to " + fromNativePath(final), fromNativePath(partial), ec);
  }
  fs::remove_all(partial, ec);
  return linked;
}

}  // namespace

Status publishRelease(std::string* releaseId) {
  std::string id;
  Status status = releaseIdOf(&id);
  if (!status.ok()) return status;
  std::error_code ec;
  fs::create_directories(toNativePath(kReleasesFolder), ec);
  if (ec) return failure("create folder", kReleasesFolder, ec);
  status = buildReleaseFolder(id);
  if (!status.ok()) return status;
  std::string pointer = id + "\n";
  status = writeFileAtomically(std::string(kReleasesFolder) + kCurrentReleaseName,
                               reinterpret_cast<const uint8_t*>(pointer.data()), pointer.size());
  if (!status.ok()) return status;
  *releaseId = id;
  return {};
}

}  // namespace quor
