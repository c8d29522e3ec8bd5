#include "create/keygen.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "dataset/layout.h"
#include "dataset/signing_keys.h"
#include "fs/file_io.h"
#include "platform/crypto.h"
#include "platform/native_path.h"

namespace quor {
namespace {

namespace fs = std::filesystem;

bool present(const char* name) {
  std::error_code ec;
  return fs::symlink_status(toNativePath(name), ec).type() != fs::file_type::not_found;
}

// The private key goes into a file that only its owner may read before
// any byte of the key is written to it.
Status writePrivateKeyFile(const Bytes& bytes) {
  FILE* file = openFile(kPrivateKeyFile, "wb");
  if (file == nullptr) return Status::ioError(std::string("cannot create ") + kPrivateKeyFile);
  std::error_code ec;
  fs::permissions(toNativePath(kPrivateKeyFile), fs::perms::owner_read | fs::perms::owner_write,
                  fs::perm_options::replace, ec);
  bool written = !ec && std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  written = std::fclose(file) == 0 && written;
  if (written) return {};
  removeFile(kPrivateKeyFile);
  return Status::ioError(std::string("cannot write ") + kPrivateKeyFile +
                         (ec ? ": " + ec.message() : std::string()));
}

}  // namespace

Status writeNewKeyPair() {
  for (const char* name : {kPrivateKeyFile, kPublicKeyFile}) {
    if (present(name)) {
      return Status::ioError(std::string(name) + " already exists: no key was written");
    }
  }
  KeyPair keys;
  Status status = generateKeyPair(&keys);
  if (status.ok()) status = writePrivateKeyFile(encodePrivateKeyFile(keys));
  if (!status.ok()) return status;
  Bytes publicFile = encodePublicKeyFile(keys.publicKey);
  status = writeFileAtomically(kPublicKeyFile, publicFile.data(), publicFile.size());
  if (!status.ok()) removeFile(kPrivateKeyFile);
  return status;
}

}  // namespace quor
