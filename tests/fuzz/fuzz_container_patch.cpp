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
  Bytes body;
  if (containerDecode(binary_patch, in, &body).ok()) {
    Bytes result;
    Status applied = bspatch(nullptr, 0, body.data(), static_cast<uint32_t>(body.size()), &result);
    // A patch never yields more bytes than its body carries.
    fuzz::require(result.size() <= body.size(), "patch result is bounded by its body");
    fuzz::require(applied.ok() || result.empty(), "a refused patch yields nothing");
  } else {
    fuzz::require(body.empty() && in.good() && in.tellg() == 0,
                  "a refused stream is clear and at 0");
    Bytes whole;
    Status status = containerDecode(generic, in, &whole);
    fuzz::require(status.ok() || whole.empty(), "a refused container yields nothing");
  }
  fuzz::afterInput();
  return 0;
}
