#include "fs/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "platform/native_path.h"

namespace quor {
namespace {

using FileCloser = std::unique_ptr<FILE, int (*)(FILE*)>;

std::string systemReason() { return std::strerror(errno); }

// A replaced file keeps its permissions (a game executable stays
// executable); a new file gets the defaults.
void keepPermissions(const std::string& original, const std::string& replacement) {
  std::error_code ec;
  std::filesystem::file_status status = std::filesystem::status(toNativePath(original), ec);
  if (ec || !std::filesystem::is_regular_file(status)) return;
  std::filesystem::permissions(toNativePath(replacement), status.permissions(), ec);
}

}  // namespace

Status readWholeFile(const std::string& path, std::vector<uint8_t>* content) {
  auto fail = [&](const std::string& reason) {
    return Status::ioError("cannot read " + path + ": " + reason);
  };
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(toNativePath(path), ec);
  if (ec) return fail(ec.message());
  if (size > UINT32_MAX) return Status::tooLarge("cannot read " + path + ": larger than 4 GiB");
  FILE* raw = openFile(path, "rb");
  if (raw == nullptr) return fail(systemReason());
  FileCloser file(raw, std::fclose);
  std::vector<uint8_t> bytes;
  try {
    bytes.resize(static_cast<size_t>(size));
  } catch (const std::bad_alloc&) {
    return Status::outOfMemory("cannot read " + path + ": out of memory");
  }
  if (size != 0 && std::fread(bytes.data(), 1, bytes.size(), raw) != bytes.size()) {
    return fail(std::ferror(raw) ? systemReason() : "the file shrank while reading");
  }
  *content = std::move(bytes);
  return {};
}

Status writeTemporaryCopy(const std::string& path, const uint8_t* data, size_t size) {
  std::string temporary = path + kTemporarySuffix;
  FILE* raw = openFile(temporary, "wb");
  if (raw == nullptr) return Status::ioError("cannot write " + path + ": " + systemReason());
  bool written = (size == 0 || std::fwrite(data, 1, size, raw) == size);
  written = (std::fflush(raw) == 0) && written;
  std::string reason = written ? "" : systemReason();
  if (std::fclose(raw) != 0 && written) {
    written = false;
    reason = systemReason();
  }
  if (written) {
    keepPermissions(path, temporary);
    return {};
  }
  std::error_code ignored;
  std::filesystem::remove(toNativePath(temporary), ignored);
  return Status::ioError("cannot write " + path + ": " + reason);
}

Status moveTemporaryCopyInto(const std::string& path) {
  std::string temporary = path + kTemporarySuffix;
  std::error_code ec;
  std::filesystem::rename(toNativePath(temporary), toNativePath(path), ec);
  if (!ec) return {};
  std::error_code ignored;
  std::filesystem::remove(toNativePath(temporary), ignored);
  return Status::ioError("cannot write " + path + ": " + ec.message());
}

Status writeFileAtomically(const std::string& path, const uint8_t* data, size_t size) {
  Status status = writeTemporaryCopy(path, data, size);
  return status.ok() ? moveTemporaryCopyInto(path) : status;
}

}  // namespace quor
