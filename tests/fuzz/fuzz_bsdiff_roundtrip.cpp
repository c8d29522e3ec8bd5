// bsdiff then bspatch on two fuzzed files must give the new file back byte
// for byte. Input: a 16-bit old-file length, the old file, then the new
// file.
#include <cstdint>
#include <sstream>

#include "base/memory_stream.h"
#include "container/container.h"
#include "fuzz_support.h"
#include "patch/diff.h"
#include "patch/patch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  fuzz::InputSplitter input(data, size);
  std::vector<uint8_t> old = input.take(input.u16());
  std::vector<uint8_t> newer = input.rest();

  std::ostringstream patchFile;
  fuzz::require(bsdiff(old.data(), static_cast<uint32_t>(old.size()), newer.data(),
                       static_cast<uint32_t>(newer.size()), patchFile).ok(),
                "bsdiff makes a patch");
  std::string container = patchFile.str();
  MemoryInputStream in(reinterpret_cast<const uint8_t*>(container.data()), container.size());
  Bytes body;
  fuzz::require(containerDecode(binary_patch, in, &body).ok(),
                "the patch is a binary_patch container");
  Bytes result;
  Status applied = bspatch(old.data(), static_cast<uint32_t>(old.size()), body.data(),
                           static_cast<uint32_t>(body.size()), &result);
  fuzz::require(applied.ok() && result == newer, "bspatch gives the new file back");
  fuzz::afterInput();
  return 0;
}
