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
  TemporaryCopyWriter copy(path);
  Status status = copy.open();
  if (status.ok()) status = copy.write(data, size);
  return status.ok() ? copy.finish() : status;
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

FileReader::~FileReader() {
  if (file_ != nullptr) std::fclose(file_);
}

Status FileReader::open(const std::string& path) {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  path_ = path;
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(toNativePath(path), ec);
  if (ec) return Status::ioError("cannot read " + path + ": " + ec.message());
  file_ = openFile(path, "rb");
  if (file_ == nullptr) return Status::ioError("cannot read " + path + ": " + systemReason());
  size_ = size;
  return {};
}

Status FileReader::read(uint8_t* buffer, size_t capacity, size_t* got) {
  *got = 0;
  if (file_ == nullptr) return Status::ioError("cannot read " + path_ + ": not open");
  *got = std::fread(buffer, 1, capacity, file_);
  if (*got < capacity && std::ferror(file_)) {
    *got = 0;
    return Status::ioError("cannot read " + path_ + ": " + systemReason());
  }
  return {};
}

TemporaryCopyWriter::TemporaryCopyWriter(std::string path)
    : path_(std::move(path)), temporary_(path_ + kTemporarySuffix) {}

TemporaryCopyWriter::~TemporaryCopyWriter() {
  if (file_ != nullptr) std::fclose(file_);
  if (!finished_) removeFile(temporary_);
}

Status TemporaryCopyWriter::fail() {
  std::string reason = file_ != nullptr ? systemReason() : "the copy is not open";
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  removeFile(temporary_);
  return Status::ioError("cannot write " + path_ + ": " + reason);
}

Status TemporaryCopyWriter::open() {
  file_ = openFile(temporary_, "wb");
  if (file_ == nullptr) return Status::ioError("cannot write " + path_ + ": " + systemReason());
  return {};
}

Status TemporaryCopyWriter::write(const uint8_t* data, size_t size) {
  if (file_ == nullptr) return fail();
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) return fail();
  return {};
}

Status TemporaryCopyWriter::finish(const uint8_t* header, size_t headerSize) {
  if (file_ == nullptr || std::fflush(file_) != 0) return fail();
  // Only the start is sought, so no offset needs more than 32 bits.
  if (headerSize != 0 &&
      (std::fseek(file_, 0, SEEK_SET) != 0 ||
       std::fwrite(header, 1, headerSize, file_) != headerSize || std::fflush(file_) != 0)) {
    return fail();
  }
  FILE* file = file_;
  file_ = nullptr;
  if (std::fclose(file) != 0) {
    std::string reason = systemReason();
    removeFile(temporary_);
    return Status::ioError("cannot write " + path_ + ": " + reason);
  }
  keepPermissions(path_, temporary_);
  finished_ = true;
  return {};
}

}  // namespace quor
