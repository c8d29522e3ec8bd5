#include "create/sign_data_set.h"

#include <filesystem>
#include <system_error>

#include "dataset/layout.h"
#include "fs/file_io.h"
#include "platform/native_path.h"

namespace quor {
namespace {

constexpr uint64_t kSecondsPerDay = 24 * 60 * 60;

// Every plain file of the update data folder but the manifest and the
// signature, by name.
Status listDataFiles(std::vector<std::string>* names) {
  std::error_code ec;
  for (const auto& entry :
       std::filesystem::directory_iterator(toNativePath(kUpdateDataFolder), ec)) {
    std::string name = fromNativePath(entry.path().filename());
    if (name == kManifestName || name == kSignatureFileName) continue;
    if (entry.is_regular_file(ec)) names->push_back(name);
  }
  if (ec) return Status::ioError(std::string("cannot list ") + kUpdateDataFolder + ": " + ec.message());
  return {};
}

}  // namespace

Status writeSignatureFile(const KeyPair& keys, const SigningRequest& request,
                          const std::map<std::string, SignedFile>& gameFiles, uint64_t now) {
  SignatureFile signature;
  signature.dataSetVersion = request.version.value_or(now);
  signature.expiresAt = now + request.expiryDays * kSecondsPerDay;
  signature.gameFiles = gameFiles;
  std::string folder = kUpdateDataFolder;
  Status status = hashFile(folder + kManifestName, &signature.manifest);
  std::vector<std::string> names;
  if (status.ok()) status = listDataFiles(&names);
  for (const std::string& name : names) {
    if (!status.ok()) break;
    status = hashFile(folder + name, &signature.dataFiles[name]);
  }
  Bytes bytes;
  if (status.ok()) status = signSignatureFile(signature, keys, &bytes);
  if (!status.ok()) return status;
  return writeFileAtomically(folder + kSignatureFileName, bytes.data(), bytes.size());
}

}  // namespace quor
