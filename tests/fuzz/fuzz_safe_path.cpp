// isSafeManifestPath on any text. A path it accepts must name something
// strictly inside the game folder however it is resolved: lexically on
// POSIX, and with Windows' separators and drive and stream colons in mind.
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "update/safe_paths.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  std::string_view path(reinterpret_cast<const char*>(data), size);
  if (isSafeManifestPath(path)) {
    fuzz::require(path.starts_with("./") && path.size() > 2, "relative to the game folder");
    fuzz::require(path.find_first_of(std::string_view("\\:\0", 3)) == std::string_view::npos,
                  "no Windows separator, colon or NUL");
    fuzz::require(!path.ends_with("/"), "names an entry, not a folder ending in a slash");
    namespace fs = std::filesystem;
    const fs::path root = "/game";
    fs::path resolved = (root / fs::path(std::string(path.substr(2)))).lexically_normal();
    fs::path inside = resolved.lexically_relative(root);
    fuzz::require(!inside.empty() && *inside.begin() != ".." && inside != ".",
                  "resolves strictly inside the game folder");
    for (const fs::path& component : fs::path(std::string(path.substr(2)))) {
      fuzz::require(component != ".." && component != "." && !component.empty(),
                    "no relative or empty component");
    }
  }
  fuzz::afterInput();
  return 0;
}
