// readManifest on any bytes. What it reads must survive a round trip
// through encodeManifest unchanged, and the unsafe-path filter must leave
// only safe paths.
#include <cstdint>

#include "dataset/manifest.h"
#include "fuzz_support.h"
#include "update/safe_paths.h"

namespace quor::fuzz {
namespace {

bool sameManifest(const Manifest& a, const Manifest& b) {
  if (a.datasetChecksum != b.datasetChecksum || a.folders != b.folders ||
      a.emptyFiles != b.emptyFiles || a.files.size() != b.files.size()) {
    return false;
  }
  for (const auto& [path, entry] : a.files) {
    auto it = b.files.find(path);
    if (it == b.files.end() || it->second.checksum != entry.checksum ||
        it->second.patchBaseChecksum != entry.patchBaseChecksum ||
        it->second.fileNumber != entry.fileNumber) {
      return false;
    }
  }
  return true;
}

}  // namespace
}  // namespace quor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  Manifest manifest = readManifest(data, size);
  // Every text costs at least its terminator, every record 13 bytes.
  fuzz::require(
      manifest.folders.size() + manifest.emptyFiles.size() + manifest.files.size() <= size,
      "no more entries than bytes");

  std::vector<uint8_t> encoded = encodeManifest(manifest);
  Manifest again = readManifest(encoded.data(), encoded.size());
  fuzz::require(again.complete, "an encoded manifest reads complete");
  fuzz::require(fuzz::sameManifest(manifest, again), "encode then read gives the same manifest");

  fuzz::afterInput();
  size_t dropped = dropUnsafeManifestPaths(manifest);
  fuzz::require(fuzz::loggedLines() == dropped, "one line per refused path");
  for (const std::string& path : manifest.folders)
    fuzz::require(isSafeManifestPath(path), "safe folder");
  for (const std::string& path : manifest.emptyFiles)
    fuzz::require(isSafeManifestPath(path), "safe file");
  for (const auto& entry : manifest.files)
    fuzz::require(isSafeManifestPath(entry.first), "safe file");
  fuzz::afterInput();
  return 0;
}
