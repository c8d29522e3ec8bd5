// encodings.index from any bytes: a parse that succeeds lists only known
// kinds, a base exactly on the patches, and at most the per-entry bound;
// one that fails says why and leaves the index as it was.
#include <cstdint>

#include "dataset/encodings_index.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  EncodingsIndex index;
  index.files[0].push_back({DataKind::kWhole, 1, 0});
  Status status = parseEncodingsIndex(data, size, &index);
  if (status.ok()) {
    for (const auto& [number, files] : index.files) {
      fuzz::require(files.size() <= kMaxIndexedPerEntry, "entries stay within the bound");
      for (const IndexedFile& file : files) {
        fuzz::require(isPatchKind(file.kind) == (file.base != 0), "bases only on patches");
      }
    }
  } else {
    fuzz::require(status.message().starts_with("encodings.index: "), "a refusal says why");
    fuzz::require(index.files.size() == 1 && index.files.at(0).size() == 1,
                  "a refused index changes nothing");
  }
  fuzz::afterInput();
  return 0;
}
