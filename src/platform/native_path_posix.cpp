#include "platform/native_path.h"

namespace quor {

std::filesystem::path toNativePath(const std::string& path) { return std::filesystem::path(path); }

std::string fromNativePath(const std::filesystem::path& path) { return path.native(); }

FILE* openFile(const std::string& path, const char* mode) {
  return std::fopen(path.c_str(), mode);
}

int removeFile(const std::string& path) { return std::remove(path.c_str()); }

std::string pathFromArgument(const char* argument) { return argument; }

}  // namespace quor
