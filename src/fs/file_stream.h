// Files read and written piece by piece, for files too large to hold in
// memory: a source that reads a file from any position and a sink that
// writes a file's temporary copy (see file_io.h), which moveTemporaryCopyInto
// then puts in its place. Each costs one stdio buffer. Paths are UTF-8.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "base/byte_stream.h"
#include "fs/file_io.h"

namespace quor {

class FileSource : public SeekableSource {
 public:
  // Opens path for reading. Fails with "cannot read <path>: <reason>"
  // when it is missing, a folder or unreadable.
  static Status open(const std::string& path, std::unique_ptr<FileSource>* source);
  ~FileSource() override;
  FileSource(const FileSource&) = delete;
  FileSource& operator=(const FileSource&) = delete;

  // Reads stop at the size the file had when it was opened.
  Status read(uint8_t* out, size_t want, size_t* got) override;
  uint64_t size() const override { return size_; }
  Status seek(uint64_t position) override;

 private:
  FileSource(std::string path, FILE* file, uint64_t size);

  std::string path_;
  FILE* file_;
  uint64_t size_;
  uint64_t position_ = 0;      // where the next read starts
  uint64_t filePosition_ = 0;  // where the stream is; a seek only when they differ
};

// Writes path + kTemporarySuffix. The copy is removed when a write fails
// and when the sink goes away unfinished, so that no part of a file is
// left behind.
class TemporaryCopySink : public ByteSink {
 public:
  // Creates (or empties) path's temporary copy. Fails with
  // "cannot write <path>: <reason>", as every failure of the sink does.
  static Status create(const std::string& path, std::unique_ptr<TemporaryCopySink>* sink);
  ~TemporaryCopySink() override;
  TemporaryCopySink(const TemporaryCopySink&) = delete;
  TemporaryCopySink& operator=(const TemporaryCopySink&) = delete;

  // After a failure every further write fails the same way.
  Status write(const uint8_t* data, size_t size) override;
  // Writes header (headerSize bytes) over the first bytes written, when
  // one is given: fields known only at the end, such as a container's
  // lengths. Then flushes and closes the copy and gives it path's
  // permissions when path is a file (a game executable stays executable).
  // Once.
  Status finish(const uint8_t* header = nullptr, size_t headerSize = 0);

 private:
  TemporaryCopySink(std::string path, FILE* file);
  Status fail(const std::string& reason);
  void discard();

  std::string path_;
  FILE* file_;
  Status failure_;
  bool finished_ = false;
};

}  // namespace quor
