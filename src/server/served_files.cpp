#include "server/served_files.h"

#include <filesystem>
#include <fstream>
#include <system_error>

#include "net/transport_limits.h"
#include "platform/native_path.h"

namespace quor {
namespace {

namespace fs = std::filesystem;

fs::path servedPath(const std::string& folder, std::string_view name) {
  return toNativePath(folder) / toNativePath(std::string(name));
}

}  // namespace

bool isPlainFileName(std::string_view name) {
  if (name.empty()) return false;
  if (name.find_first_of(std::string_view("/\\:\0", 4)) != std::string_view::npos) return false;
  return name.find("..") == std::string_view::npos;
}

FileLookup lookUpServedFile(const std::string& folder, std::string_view name) {
  if (!isPlainFileName(name)) return {"not a plain file name", 0};
  std::error_code error;
  fs::file_status status = fs::symlink_status(servedPath(folder, name), error);
  if (error || !fs::exists(status)) return {"no such file", 0};
  if (!fs::is_regular_file(status)) return {"not a regular file", 0};
  uintmax_t size = fs::file_size(servedPath(folder, name), error);
  if (error) return {"size unknown: " + error.message(), 0};
  if (size > kMaxFileBytes) return {"larger than 1 GiB", 0};
  return {"", size};
}

bool readServedFile(const std::string& folder, std::string_view name, uint8_t* out, size_t size) {
  std::ifstream in(servedPath(folder, name), std::ios::binary);
  if (!in) return false;
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
  if (static_cast<size_t>(in.gcount()) != size) return false;
  // A file that grew since the lookup would be served cut short.
  return in.peek() == std::ifstream::traits_type::eof();
}

}  // namespace quor
