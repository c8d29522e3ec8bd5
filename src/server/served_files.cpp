#include "server/served_files.h"

#include <filesystem>
#include <fstream>
#include <system_error>
#include <utility>

#include "protocol/file_update_messages.h"
#include "protocol/transport_limits.h"
#include "platform/native_path.h"

namespace quor {
namespace {

namespace fs = std::filesystem;

fs::path servedPath(const std::string& folder, std::string_view name) {
  return toNativePath(folder) / toNativePath(std::string(name));
}

// Clients only compare it for equality, so the clock's unit and epoch do
// not matter; the size is mixed in for a file rewritten within one tick.
uint64_t versionToken(fs::file_time_type written, uint64_t size) {
  return static_cast<uint64_t>(written.time_since_epoch().count()) ^ (size * 0x9E3779B97F4A7C15u);
}

FileLookup refused(std::string why) { return {std::move(why), 0, 0}; }

FileLookup lookUp(const std::string& folder, std::string_view name, uint64_t maxBytes,
                  const char* tooLarge) {
  if (!isPlainFileName(name)) return refused("not a plain file name");
  fs::path path = servedPath(folder, name);
  std::error_code error;
  fs::file_status status = fs::symlink_status(path, error);
  if (error || !fs::exists(status)) return refused("no such file");
  if (!fs::is_regular_file(status)) return refused("not a regular file");
  uintmax_t size = fs::file_size(path, error);
  if (error) return refused("size unknown: " + error.message());
  if (size > maxBytes) return refused(tooLarge);
  fs::file_time_type written = fs::last_write_time(path, error);
  if (error) return refused("time unknown: " + error.message());
  return {"", size, versionToken(written, size)};
}

}  // namespace

bool isPlainFileName(std::string_view name) {
  if (name.empty()) return false;
  if (name.find_first_of(std::string_view("/\\:\0", 4)) != std::string_view::npos) return false;
  return name.find("..") == std::string_view::npos;
}

FileLookup lookUpServedFile(const std::string& folder, std::string_view name) {
  return lookUp(folder, name, kMaxFileBytes, "larger than 1 GiB");
}

FileLookup lookUpServedRangeFile(const std::string& folder, std::string_view name) {
  return lookUp(folder, name, kMaxRangeFileBytes, "4 GiB or larger");
}

Status readServedFile(const std::string& folder, std::string_view name, uint8_t* out, size_t size) {
  std::ifstream in(servedPath(folder, name), std::ios::binary);
  if (!in) return Status::notFound("cannot open " + std::string(name));
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
  // A file that grew since the lookup would be served cut short.
  if (static_cast<size_t>(in.gcount()) != size || in.peek() != std::ifstream::traits_type::eof()) {
    return Status::ioError(std::string(name) + " changed while it was read");
  }
  return {};
}

Status readServedRange(const std::string& folder, std::string_view name, uint64_t offset,
                       uint8_t* out, size_t size) {
  std::ifstream in(servedPath(folder, name), std::ios::binary);
  if (!in) return Status::notFound("cannot open " + std::string(name));
  if (!in.seekg(static_cast<std::streamoff>(offset))) {
    return Status::ioError("cannot read " + std::string(name) + " at " + std::to_string(offset));
  }
  in.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(size));
  if (static_cast<size_t>(in.gcount()) != size) {
    return Status::ioError(std::string(name) + " holds fewer bytes than asked for");
  }
  return {};
}

}  // namespace quor
