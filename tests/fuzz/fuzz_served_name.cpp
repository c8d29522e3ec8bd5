// The update server's side of a request: the packet decoded as a file
// request or a file range request, and the name looked up in the served
// folder. Whatever the name,
// a file it serves is a regular file directly inside that folder, never a
// link, a folder or anything outside. The folder holds a file, a folder and
// a link to a file outside it.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "fuzz_support.h"
#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "server/served_files.h"

namespace quor::fuzz {
namespace {

namespace fs = std::filesystem;

// Made once per process, removed at exit.
struct ServedFolder {
  fs::path root;
  std::string folder;

  ServedFolder() {
    std::string pattern = (fs::temp_directory_path() / "quor_fuzz_served_XXXXXX").string();
    root = mkdtemp(pattern.data());
    folder = (root / "update_data").string();
    fs::create_directories(root / "update_data/sub");
    std::ofstream(root / "update_data/1.compressed") << "served";
    std::ofstream(root / "secret") << "not served";
    fs::create_symlink(root / "secret", root / "update_data/link");
  }
  ~ServedFolder() {
    std::error_code ignored;
    fs::remove_all(root, ignored);
  }
};

}  // namespace
}  // namespace quor::fuzz

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace quor;
  namespace fs = std::filesystem;
  static fuzz::ServedFolder served;
  ByteSpan packet(data, size);
  std::optional<std::string> name;
  FileLookup lookup;
  // The decoders leave the type word to the caller, as the server does.
  bool ranged = readMessageType(packet) == kFileRangeRequestType;
  if (std::optional<FileRequest> request = ranged ? std::nullopt : decodeFileRequest(packet)) {
    name = request->path;
    lookup = lookUpServedFile(served.folder, *name);
  } else if (std::optional<FileRangeRequest> range = ranged ? decodeFileRangeRequest(packet) : std::nullopt) {
    name = range->name;
    lookup = lookUpServedRangeFile(served.folder, *name);
  }
  if (name && lookup.refusal.empty()) {
    fs::path file = fs::path(served.folder) / *name;
    fuzz::require(isPlainFileName(*name), "only plain names are served");
    fuzz::require(file.lexically_normal().parent_path() == fs::path(served.folder),
                  "a served file lies directly inside the folder");
    fuzz::require(fs::is_regular_file(fs::symlink_status(file)), "a served file is a regular file");
    fuzz::require(*name == "1.compressed" && lookup.size == 6, "only the one file is served");
  }
  fuzz::afterInput();
  return 0;
}
