// containerDecode as the update run calls it on a received file: first
// with code 6 (binary_patch), and when that refuses, with code 0 on the
// same stream. A patch body that comes out goes on to bspatch over an
// empty old file.
#include <cstdint>

#include "base/memory_stream.h"
#include "container/container.h"
#include "fuzz_support.h"
#include "patch/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  MemoryInputStream in(data, size);
  uint32_t outSize = 1;
  std::optional<Bytes> body = containerDecode(binary_patch, in, outSize);
  if (body) {
    fuzz::require(outSize == body->size(), "outSize is the decoded size");
    std::optional<Bytes> result =
        bspatch(nullptr, 0, body->data(), static_cast<uint32_t>(body->size()));
    // A patch never yields more bytes than its body carries.
    fuzz::require(!result || result->size() <= body->size(), "patch result is bounded by its body");
  } else {
    fuzz::require(outSize == 0 && in.good() && in.tellg() == 0,
                  "a refused stream is clear and at 0");
    uint32_t wholeSize = 1;
    std::optional<Bytes> whole = containerDecode(generic, in, wholeSize);
    fuzz::require(whole ? wholeSize == whole->size() : wholeSize == 0, "outSize matches");
  }
  fuzz::afterInput();
  return 0;
}
