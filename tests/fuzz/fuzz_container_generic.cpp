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
  Bytes decoded;
  Status status = containerDecode(generic, in, &decoded);
  if (!status.ok()) {
    fuzz::require(decoded.empty(), "nothing is decoded after a refusal");
    fuzz::require(!status.message().empty(), "a refusal says why");
    fuzz::require(in.good() && in.tellg() == 0, "a refused stream is clear and at 0");
  } else {
    std::ostringstream encoded;
    fuzz::require(containerEncode(generic, decoded.data(), static_cast<uint32_t>(decoded.size()),
                                  encoded)
                      .ok(),
                  "re-encode");
    std::istringstream reread(encoded.str());
    Bytes again;
    fuzz::require(containerDecode(generic, reread, &again).ok() && again == decoded,
                  "decode(encode(x)) == x");
  }
  fuzz::afterInput();
  return 0;
}
