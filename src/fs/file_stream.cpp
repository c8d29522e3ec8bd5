#include "fs/file_stream.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "platform/file_seek.h"
#include "platform/native_path.h"

namespace quor {
namespace {

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

Status FileSource::open(const std::string& path, std::unique_ptr<FileSource>* source) {
  auto fail = [&](const std::string& reason) {
    return Status::ioError("cannot read " + path + ": " + reason);
  };
  // file_size also refuses a folder, which fopen would open on POSIX.
  std::error_code ec;
  uintmax_t size = std::filesystem::file_size(toNativePath(path), ec);
  if (ec) return fail(ec.message());
  FILE* file = openFile(path, "rb");
  if (file == nullptr) return fail(systemReason());
  source->reset(new FileSource(path, file, size));
  return {};
}

FileSource::FileSource(std::string path, FILE* file, uint64_t size)
    : path_(std::move(path)), file_(file), size_(size) {}

FileSource::~FileSource() { std::fclose(file_); }

Status FileSource::read(uint8_t* out, size_t want, size_t* got) {
  *got = 0;
  if (position_ >= size_) return {};
  size_t count = static_cast<size_t>(std::min<uint64_t>(want, size_ - position_));
  if (filePosition_ != position_) {
    if (!seekFile(file_, position_)) {
      return Status::ioError("cannot read " + path_ + ": " + systemReason());
    }
    filePosition_ = position_;
  }
  size_t read = std::fread(out, 1, count, file_);
  if (read < count && std::ferror(file_)) {
    return Status::ioError("cannot read " + path_ + ": " + systemReason());
  }
  // A file that shrank while open ends early.
  position_ += read;
  filePosition_ = position_;
  *got = read;
  return {};
}

Status FileSource::seek(uint64_t position) {
  position_ = std::min(position, size_);
  return {};
}

Status TemporaryCopySink::create(const std::string& path,
                                 std::unique_ptr<TemporaryCopySink>* sink) {
  FILE* file = openFile(path + kTemporarySuffix, "wb");
  if (file == nullptr) return Status::ioError("cannot write " + path + ": " + systemReason());
  sink->reset(new TemporaryCopySink(path, file));
  return {};
}

TemporaryCopySink::TemporaryCopySink(std::string path, FILE* file)
    : path_(std::move(path)), file_(file) {}

TemporaryCopySink::~TemporaryCopySink() {
  if (!finished_) discard();
}

Status TemporaryCopySink::write(const uint8_t* data, size_t size) {
  if (!failure_.ok()) return failure_;
  if (size != 0 && std::fwrite(data, 1, size, file_) != size) return fail(systemReason());
  return {};
}

Status TemporaryCopySink::finish(const uint8_t* header, size_t headerSize) {
  if (!failure_.ok()) return failure_;
  if (headerSize != 0 &&
      (!seekFile(file_, 0) || std::fwrite(header, 1, headerSize, file_) != headerSize)) {
    return fail(systemReason());
  }
  bool flushed = std::fflush(file_) == 0;
  std::string reason = flushed ? "" : systemReason();
  bool closed = std::fclose(file_) == 0;
  file_ = nullptr;
  if (flushed && !closed) reason = systemReason();
  if (!flushed || !closed) return fail(reason);
  finished_ = true;
  keepPermissions(path_, path_ + kTemporarySuffix);
  return {};
}

Status TemporaryCopySink::fail(const std::string& reason) {
  failure_ = Status::ioError("cannot write " + path_ + ": " + reason);
  discard();
  return failure_;
}

void TemporaryCopySink::discard() {
  if (file_ != nullptr) std::fclose(file_);
  file_ = nullptr;
  std::error_code ignored;
  std::filesystem::remove(toNativePath(path_ + kTemporarySuffix), ignored);
}

}  // namespace quor
