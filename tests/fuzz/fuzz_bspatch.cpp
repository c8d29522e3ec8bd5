// bspatch on any old file and any patch body. Input: a 16-bit old-file
// length, the old file, then the body. A result always has the length the
// body's header announces, and is never larger than the body could carry.
#include <cstdint>

#include "base/encoding.h"
#include "fuzz_support.h"
#include "patch/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  fuzz::InputSplitter input(data, size);
  std::vector<uint8_t> old = input.take(input.u16());
  std::vector<uint8_t> body = input.rest();
  Bytes result;
  Status status =
      bspatch(old.empty() ? nullptr : old.data(), static_cast<uint32_t>(old.size()),
              body.empty() ? nullptr : body.data(), static_cast<uint32_t>(body.size()), &result);
  if (status.ok()) {
    fuzz::require(body.size() >= kPatchHeaderSize, "a result needs a whole header");
    uint32_t newLength = ByteReader(body.data() + kPatchMagicSize, 4).u32();
    fuzz::require(result.size() == newLength, "result has newLength bytes");
    fuzz::require(result.size() <= body.size(), "result is bounded by the body");
  } else {
    fuzz::require(status.message().starts_with("bspatch: "), "a refusal says why");
  }
  fuzz::afterInput();
  return 0;
}
