// The second encoding's update data from any bytes, as the updater reads
// it: a zstd frame, and a split patch whose body goes through bspatch's
// reader. Input: one selector byte (odd: split patch), then the file.
// Neither may read past what it was given or produce more than the
// frames' own limits allow; failures say which layer refused.
#include <cstdint>

#include "base/byte_stream.h"
#include "container/zstd_stream.h"
#include "fuzz_support.h"
#include "patch/patch_stream.h"
#include "patch/split_patch.h"

namespace {

using namespace quor;

// Takes the new file and counts it, up to a bound that ends the input.
class CountingSink : public ByteSink {
 public:
  Status write(const uint8_t*, size_t size) override {
    written += size;
    if (written > (uint64_t(64) << 20)) return Status::tooLarge("enough");
    return {};
  }
  uint64_t written = 0;
};

void decodeFrame(const uint8_t* data, size_t size) {
  MemorySource source(data, size);
  ZstdDecodeSource decoded(source, size);
  CountingSink sink;
  uint8_t piece[4096];
  for (size_t got = sizeof piece; got == sizeof piece;) {
    Status status = decoded.read(piece, sizeof piece, &got);
    if (!status.ok()) {
      fuzz::require(status.message().starts_with("zstd: "), "a refusal says why");
      return;
    }
    if (!sink.write(piece, got).ok()) return;
  }
}

void applySplit(const uint8_t* data, size_t size) {
  MemorySource source(data, size);
  SplitPatchBodySource body(source);
  static const uint8_t kOld[] = "an old file of a few bytes";
  MemorySource old(kOld, sizeof kOld);
  CountingSink sink;
  Status status = applyPatchStream(body, old, sink);
  if (status.ok()) {
    fuzz::require(sink.written == splitPatchNewLength(data, size), "newLength bytes come out");
  } else {
    const std::string& message = status.message();
    fuzz::require(message.starts_with("zdiff: ") || message.starts_with("zstd: ") ||
                      message.starts_with("bspatch: ") || message == "enough",
                  "a refusal says why");
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    applySplit(data + 1, size - 1);
  } else {
    decodeFrame(data + 1, size - 1);
  }
  fuzz::afterInput();
  return 0;
}
