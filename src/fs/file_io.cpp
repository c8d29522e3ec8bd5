#include "fs/file_io.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "fs/file_stream.h"
#include "platform/native_path.h"

namespace quor {
namespace {

using FileCloser = std::unique_ptr<FILE, int (*)(FILE*)>;

std::string systemReason() { return std::strerror(errno); }

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
  std::unique_ptr<TemporaryCopySink> copy;
  Status status = TemporaryCopySink::create(path, &copy);
  if (status.ok()) status = copy->write(data, size);
  return status.ok() ? copy->finish() : status;
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
