// containerDecode with code 0 (any container), on the stream type the
// update run uses. A decoded container must encode and decode back to the
// same bytes; a refused one must leave the stream at 0, ready for another
// attempt.
#include <cstdint>
#include <sstream>

#include "base/memory_stream.h"
#include "container/container.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  MemoryInputStream in(data, size);
  uint32_t outSize = 12345;
  std::optional<Bytes> decoded = containerDecode(generic, in, outSize);
  if (!decoded) {
    fuzz::require(outSize == 0, "outSize is 0 after a refusal");
    fuzz::require(in.good() && in.tellg() == 0, "a refused stream is clear and at 0");
  } else {
    fuzz::require(outSize == decoded->size(), "outSize is the decoded size");
    std::ostringstream encoded;
    fuzz::require(containerEncode(generic, decoded->data(), outSize, encoded), "re-encode");
    std::istringstream reread(encoded.str());
    uint32_t rereadSize = 0;
    std::optional<Bytes> again = containerDecode(generic, reread, rereadSize);
    fuzz::require(again && *again == *decoded, "decode(encode(x)) == x");
  }
  fuzz::afterInput();
  return 0;
}
