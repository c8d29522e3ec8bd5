// Applying received and staged update data files, and settling the
// updater's old copy at the start of a run.

#include "update/file_apply.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <sstream>

#include "container/container.h"
#include "dataset/md5.h"
#include "fs/file_io.h"
#include "patch/diff.h"
#include "patch/patch.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::ScopedCurrentDir;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

TEST(FileApply, OldExecutableIsRemovedAtStartOrPutBackWhenTheUpdaterIsMissing) {
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
  settleOldExecutable();  // neither file: nothing to do
  EXPECT_TRUE(fs::is_empty(dir.path()));

  writeFile("updater.exe", "new");
  writeFile("updater_old.exe", "old");
  settleOldExecutable();
  EXPECT_EQ(testing::readFile("updater.exe"), "new");
  EXPECT_FALSE(fs::exists("updater_old.exe"));

  // A replacement cut off between its two renames.
  fs::rename("updater.exe", "updater_old.exe");
  settleOldExecutable();
  EXPECT_EQ(testing::readFile("updater.exe"), "new");
  EXPECT_FALSE(fs::exists("updater_old.exe"));
}

std::string containerOf(uint32_t type, const Bytes& content) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(type, content.data(), uint32_t(content.size()), out).ok());
  return out.str();
}

std::string patchOf(const Bytes& old, const Bytes& newData) {
  std::ostringstream out;
  EXPECT_TRUE(bsdiff(old.data(), uint32_t(old.size()), newData.data(), uint32_t(newData.size()),
                     out).ok());
  return out.str();
}

uint32_t checksumOf(const Bytes& content) {
  return uint32_t(bytesChecksum(content.data(), content.size()));
}

bool temporaryLeft() {
  for (const fs::directory_entry& entry : fs::recursive_directory_iterator(".")) {
    if (entry.path().string().find(kTemporarySuffix) != std::string::npos) return true;
  }
  return false;
}

struct Applied {
  ApplyOutcome outcome;
  std::vector<std::string> log;
  std::optional<Bytes> target;
};

Applied applyOnce(const std::function<ApplyOutcome()>& apply, const std::string& path) {
  LogCapture log;
  Applied applied{apply(), {}, std::nullopt};
  applied.log = log.records();
  if (fs::exists(path)) applied.target = testing::readBytes(path);
  EXPECT_FALSE(temporaryLeft());
  return applied;
}

TEST(FileApply, StagedFilesGiveTheOutcomesOfReceivedOnes) {
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
  fs::create_directories("staging");
  Bytes old = testing::randomBytes(5000, 1);
  Bytes edited = old;
  edited.insert(edited.begin() + 100, old.begin() + 3000, old.begin() + 3400);
  Bytes fresh = testing::randomBytes(7000, 2);
  std::string patch = patchOf(old, edited);
  std::string corruptPatch;
  {
    Bytes body(patchMagic, patchMagic + kPatchMagicSize);
    body.insert(body.end(), {5, 0, 0, 0});
    body.resize(body.size() + kControlSize + 5);
    writeOffset(6, &body[kPatchHeaderSize]);  // more than newLength
    corruptPatch = containerOf(binary_patch, body);
  }
  std::string damagedPatch = patch;
  damagedPatch.back() ^= 0x40;  // the Adler-32 of the content

  const std::string target = "./data/a.bin";
  const std::string described = " (1.patch)";
  auto error = [](const std::string& text) { return LogCapture::error(text); };
  struct Case {
    std::string name;
    std::string path;
    std::string staged;
    uint32_t checksum;
    ApplyOutcome outcome;
    std::vector<std::string> log;
    std::optional<Bytes> result;
  };
  std::vector<Case> cases{
      {"whole file", "./data/new/b.bin", containerOf(generic, fresh), checksumOf(fresh),
       ApplyOutcome::kWritten, {}, fresh},
      {"another type", target, containerOf(world_xml, fresh), checksumOf(fresh),
       ApplyOutcome::kWritten, {}, fresh},
      {"patch", target, patch, checksumOf(edited), ApplyOutcome::kPatched, {}, edited},
      {"corrupt patch", target, corruptPatch, checksumOf(edited), ApplyOutcome::kPatchUnusable,
       {error("bspatch: corrupt patch")}, old},
      {"patch result fails", target, patch, checksumOf(edited) + 1, ApplyOutcome::kPatchUnusable,
       {error("patch result does not match the manifest: " + target + described)}, old},
      {"whole file fails", target, containerOf(generic, fresh), checksumOf(fresh) + 1,
       ApplyOutcome::kRejected,
       {error("file does not match the manifest, not written: " + target + described)}, old},
      {"damaged container", target, damagedPatch, checksumOf(edited), ApplyOutcome::kRejected,
       {error("zlib: corrupted or incomplete data"), error("zlib: corrupted or incomplete data"),
        error("could not decompress file: " + target + described)}, old},
      {"own executable", "./updater.exe", containerOf(generic, fresh), checksumOf(fresh),
       ApplyOutcome::kWritten, {}, fresh},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string staged = "staging/1.patch";
    writeFile(staged, c.staged);
    fs::create_directories("data");
    writeFile(target, old);
    writeFile("updater.exe", old);
    Applied fromDisk = applyOnce(
        [&] { return applyStagedFile(c.path, "1.patch", c.checksum, staged); }, c.path);
    EXPECT_EQ(fromDisk.outcome, c.outcome);
    EXPECT_EQ(fromDisk.log, c.log);
    EXPECT_EQ(fromDisk.target, c.result);
    EXPECT_EQ(testing::readFile(staged), c.staged);

    fs::remove_all("data");
    fs::create_directories("data");
    writeFile(target, old);
    writeFile("updater.exe", old);
    Bytes received(c.staged.begin(), c.staged.end());
    Applied fromMemory = applyOnce(
        [&] { return applyReceivedFile(c.path, "1.patch", c.checksum, received); }, c.path);
    EXPECT_EQ(fromMemory.outcome, fromDisk.outcome);
    EXPECT_EQ(fromMemory.log, fromDisk.log);
    EXPECT_EQ(fromMemory.target, fromDisk.target);
    fs::remove_all("data");
  }
  // The running updater was moved aside, not overwritten.
  EXPECT_EQ(testing::readBytes("updater_old.exe"), old);

  Applied missing = applyOnce(
      [&] { return applyStagedFile(target, "1.patch", 0, "staging/none.patch"); }, target);
  EXPECT_EQ(missing.outcome, ApplyOutcome::kNotWritten);
  ASSERT_EQ(missing.log.size(), 1u);
  EXPECT_NE(missing.log[0].find("cannot read staging/none.patch: "), std::string::npos);
}

#ifdef __linux__
// A field of /proc/self/status, in bytes.
uint64_t memoryFigure(const std::string& field) {
  std::string status = testing::readFile("/proc/self/status");
  size_t at = status.find(field + ":");
  return at == std::string::npos ? 0 : std::stoull(status.substr(at + field.size() + 1)) * 1024;
}

// Writes one container piece by piece, at deflate's fastest level, for
// content larger than the test wants to hold.
class ContainerFile {
 public:
  ContainerFile(const std::string& path, uint32_t type, uint32_t contentLength)
      : out_(path, std::ios::binary) {
    std::string_view tag = compressedTag(type);
    out_.write(tag.data(), std::streamsize(tag.size()));
    writeU32(0);  // the body's length, once known
    writeU32(contentLength);
    EXPECT_EQ(deflateInit(&stream_, 1), Z_OK);
  }
  void add(const uint8_t* data, size_t size) { pump(data, size, Z_NO_FLUSH); }
  void finish() {
    pump(nullptr, 0, Z_FINISH);
    out_.seekp(32);
    writeU32(uint32_t(stream_.total_out));
    deflateEnd(&stream_);
  }

 private:
  void writeU32(uint32_t value) {
    ByteWriter writer;
    writer.u32(value);
    out_.write(reinterpret_cast<const char*>(writer.bytes().data()), 4);
  }
  void pump(const uint8_t* data, size_t size, int flush) {
    stream_.next_in = const_cast<uint8_t*>(data);
    stream_.avail_in = uInt(size);
    uint8_t buffer[1 << 16];
    do {
      stream_.next_out = buffer;
      stream_.avail_out = sizeof buffer;
      deflate(&stream_, flush);
      std::streamsize produced = std::streamsize(sizeof buffer - stream_.avail_out);
      out_.write(reinterpret_cast<const char*>(buffer), produced);
    } while (stream_.avail_out == 0);
  }

  std::ofstream out_;
  z_stream stream_{};
};

// Megabyte index of a file that compresses well but not to nothing.
void fillMegabyte(uint32_t index, uint32_t seed, Bytes& out) {
  for (size_t i = 0; i < out.size(); ++i) out[i] = uint8_t((i % 251) ^ (i >> 14) ^ index ^ seed);
}

// Peak resident memory while a whole file and a patch of kSize bytes each
// are applied from staged files, the test's own data being made in pieces
// beforehand.
TEST(FileApply, StagedFilesOfAnySizeTakeBoundedMemory) {
#ifdef QUOR_SANITIZED_BUILD
  GTEST_SKIP() << "a sanitizer's shadow memory hides the program's own";
#endif
  constexpr uint32_t kMegabyte = 1 << 20;
  constexpr uint32_t kMegabytes = 256;
  constexpr uint32_t kSize = kMegabytes * kMegabyte;
  constexpr uint32_t kExtra = 64;
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
  Bytes piece(kMegabyte);

  ChecksumBuilder wholeChecksum;
  {
    ContainerFile staged("whole.staged", generic, kSize);
    for (uint32_t i = 0; i < kMegabytes; ++i) {
      fillMegabyte(i, 1, piece);
      staged.add(piece.data(), piece.size());
      wholeChecksum.add(piece.data(), piece.size());
    }
    staged.finish();
  }

  // Each megabyte of the old file with every 4096th byte changed, then
  // kExtra new bytes in place of its last ones.
  ChecksumBuilder patchedChecksum;
  {
    std::ofstream old("patched.bin", std::ios::binary);
    ContainerFile staged("patch.staged", binary_patch,
                         uint32_t(kPatchHeaderSize + kMegabytes * (kControlSize + kMegabyte)));
    Bytes header(patchMagic, patchMagic + kPatchMagicSize);
    header.insert(header.end(), {0, 0, 0, uint8_t(kSize >> 24)});
    staged.add(header.data(), header.size());
    Bytes diff(kMegabyte - kExtra, 0);
    for (size_t i = 0; i < diff.size(); i += 4096) diff[i] = 1;
    Bytes extra(kExtra, 'x');
    for (uint32_t i = 0; i < kMegabytes; ++i) {
      fillMegabyte(i, 2, piece);
      old.write(reinterpret_cast<const char*>(piece.data()), kMegabyte);
      uint8_t control[kControlSize];
      writeOffset(diff.size(), control);
      writeOffset(kExtra, control + 8);
      writeOffset(kExtra, control + 16);
      staged.add(control, kControlSize);
      staged.add(diff.data(), diff.size());
      staged.add(extra.data(), extra.size());
      for (size_t j = 0; j < diff.size(); ++j) piece[j] = uint8_t(piece[j] + diff[j]);
      std::copy(extra.begin(), extra.end(), piece.end() - kExtra);
      patchedChecksum.add(piece.data(), piece.size());
    }
    staged.finish();
  }
  piece = Bytes();

  std::ofstream("/proc/self/clear_refs") << "5";  // the peak starts again from here
  uint64_t before = memoryFigure("VmRSS");
  EXPECT_EQ(applyStagedFile("./whole.bin", "1.compressed", uint32_t(wholeChecksum.value()),
                            "whole.staged"),
            ApplyOutcome::kWritten);
  EXPECT_EQ(applyStagedFile("./patched.bin", "1.patch", uint32_t(patchedChecksum.value()),
                            "patch.staged"),
            ApplyOutcome::kPatched);
  uint64_t peak = memoryFigure("VmHWM");
  EXPECT_EQ(fs::file_size("whole.bin"), kSize);
  EXPECT_EQ(fs::file_size("patched.bin"), kSize);
  EXPECT_LT(peak - std::min(peak, before), uint64_t(64) << 20) << "peak " << peak;
}
#endif

}  // namespace
}  // namespace quor
