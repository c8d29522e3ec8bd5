// readSignatureFile on any bytes: it never reads outside them, what it
// accepts survives encodeSignedPart unchanged (the signature bytes are the
// file's last 64), and openSignatureFile accepts nothing the key did not
// sign.
#include <cstdint>
#include <cstring>

#include "dataset/signature_file.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  SignatureFile file;
  Status read = readSignatureFile(data, size, &file);
  if (read.ok()) {
    fuzz::require(file.dataFiles.size() + file.gameFiles.size() <= size / 41,
                  "no more records than their bytes allow");
    Bytes again = encodeSignedPart(file);
    fuzz::require(again.size() + kSignatureSize == size &&
                      std::memcmp(again.data(), data, again.size()) == 0,
                  "a file read is the file encoded");
  }
  // A random key signs nothing a fuzzer can find.
  PublicKey key{};
  key[0] = 1;
  fuzz::require(!openSignatureFile(data, size, key, &file).ok(), "no signature without the key");
  fuzz::afterInput();
  return 0;
}
