// File reads and writes: whole files in memory in one piece (their sizes
// are 32-bit: larger files are refused as unreadable), and files of any
// size in pieces through a fixed buffer. A file is only ever replaced by
// renaming a complete temporary copy over it. Each object belongs to one
// thread at a time.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "fs/file_utils.h"

namespace quor {

// The whole file into *content.
Status readWholeFile(const std::string& path, std::vector<uint8_t>* content);

// Writes the bytes to a temporary file beside path and renames it over
// path, so path holds either its old content or all of the new one, never
// a part.
Status writeFileAtomically(const std::string& path, const uint8_t* data, size_t size);

// The two halves of writeFileAtomically, for callers that must do
// something between them. The first writes path's temporary copy, with
// path's permissions when path is a file; the second renames that copy
// over path, and removes it when the rename fails.
Status writeTemporaryCopy(const std::string& path, const uint8_t* data, size_t size);
Status moveTemporaryCopyInto(const std::string& path);

// Reads a file front to back in pieces, for files too large to hold whole.
class FileReader {
 public:
  FileReader() = default;
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Opens path for reading; fails with "cannot read <path>: <reason>".
  Status open(const std::string& path);
  // The file's size when it was opened (it may change while it is read).
  uint64_t size() const { return size_; }
  // Fills up to capacity bytes of buffer and sets *got; *got is 0 only at
  // the end of the file.
  Status read(uint8_t* buffer, size_t capacity, size_t* got);

 private:
  std::string path_;
  FILE* file_ = nullptr;
  uint64_t size_ = 0;
};

// Writes path's temporary copy (as writeTemporaryCopy does) in pieces;
// moveTemporaryCopyInto then puts it in place. A copy not finished when
// the object goes away, or whose writing failed, is removed. Every failure
// reads "cannot write <path>: <reason>".
class TemporaryCopyWriter {
 public:
  explicit TemporaryCopyWriter(std::string path);
  ~TemporaryCopyWriter();
  TemporaryCopyWriter(const TemporaryCopyWriter&) = delete;
  TemporaryCopyWriter& operator=(const TemporaryCopyWriter&) = delete;

  // Creates the copy, empty.
  Status open();
  // Appends size bytes.
  Status write(const uint8_t* data, size_t size);
  // Writes header (headerSize bytes) over the first bytes written, when
  // one is given: fields known only at the end. Then flushes and closes
  // the copy and gives it path's permissions when path is a file.
  Status finish(const uint8_t* header = nullptr, size_t headerSize = 0);

 private:
  Status fail();

  std::string path_;
  std::string temporary_;
  FILE* file_ = nullptr;
  bool finished_ = false;
};

// Suffix of the temporary files writeFileAtomically leaves behind only when
// the process dies between writing and renaming.
inline constexpr const char* kTemporarySuffix = ".quor_tmp";

}  // namespace quor
