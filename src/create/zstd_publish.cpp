#include "create/zstd_publish.h"

#include <algorithm>
#include <new>

#include "fs/file_io.h"
#include "patch/split_patch.h"

namespace quor {
namespace {

// Compressed bytes collected before they go to the file.
constexpr size_t kFlushSize = size_t(1) << 20;

// The patch-from settings: one window spans the old file and the new.
ZstdSettings patchFromSettings(int level, const Bytes& old, uint64_t newSize) {
  ZstdSettings settings;
  settings.level = level;
  settings.windowLog = windowLogFor(old.size() + newSize);
  settings.longMatching = true;
  settings.prefix = old.data();
  settings.prefixSize = old.size();
  return settings;
}

// The compressed bytes grow in strings: memory that cannot be had is a
// failure of this file's zstd encoding, not of the program.
template <typename Work>
Status withinMemory(Work work) {
  try {
    return work();
  } catch (const std::bad_alloc&) {
    return Status::outOfMemory("zstd: out of memory");
  }
}

// Whether a patch-from patch of these files is one a player decodes.
bool patchFromFits(uint64_t oldSize, uint64_t newSize) {
  return oldSize + newSize <= (uint64_t(1) << kMaxZstdWindowLog);
}

// The split patch, or the patch-from where it is smaller.
Status makeEitherPatch(int level, const Bytes& old, const Bytes& current, const Bytes& body,
                       ZstdPatch* patch) {
  ZstdSettings settings;
  settings.level = level;
  std::string split;
  Status status = encodeSplitPatch(body.data(), body.size(), settings, &split);
  if (!status.ok()) return status;
  patch->kind = DataKind::kSplitPatch;
  patch->bytes = std::move(split);
  if (!patchFromFits(old.size(), current.size())) return {};
  std::string from;
  status = zstdCompress(patchFromSettings(level, old, current.size()), current.data(),
                        current.size(), &from);
  if (!status.ok()) return status;
  if (from.size() < patch->bytes.size()) {
    patch->kind = DataKind::kPatchFrom;
    patch->bytes = std::move(from);
  }
  return {};
}

}  // namespace

ZstdSettings wholeFileSettings(int level, uint64_t size) {
  ZstdSettings settings;
  settings.level = level;
  settings.windowLog = windowLogFor(size, kWholeFileWindowLog);
  settings.longMatching = settings.windowLog > 24;
  return settings;
}

uint64_t zstdWholeMemory(int level, uint64_t size) {
  return zstdEncoderMemory(wholeFileSettings(level, size), size);
}

uint64_t zstdPatchMemory(int level, uint64_t oldSize, uint64_t newSize) {
  ZstdSettings split;
  split.level = level;
  split.windowLog = windowLogFor(newSize, kExtraWindowLog);
  split.longMatching = true;
  // The split patch's frames are held until the patch is written.
  uint64_t memory = zstdEncoderMemory(split, newSize) + newSize;
  if (patchFromFits(oldSize, newSize)) {
    ZstdSettings from;
    from.level = level;
    from.windowLog = windowLogFor(oldSize + newSize);
    from.longMatching = true;
    from.prefixSize = oldSize;
    memory = std::max(memory, zstdEncoderMemory(from, newSize) + newSize);
  }
  return memory;
}

Status ZstdFileWriter::open(const std::string& output, const ZstdSettings& settings,
                            uint64_t contentSize, std::unique_ptr<ZstdFileWriter>* writer) {
  std::unique_ptr<ZstdFileWriter> made(new ZstdFileWriter());
  made->output_ = output;
  Status status = ZstdEncoder::create(settings, contentSize, &made->encoder_);
  if (status.ok()) status = TemporaryCopySink::create(output, &made->sink_);
  if (status.ok()) *writer = std::move(made);
  return status;
}

Status ZstdFileWriter::flush(bool always) {
  if (ready_.empty() || (!always && ready_.size() < kFlushSize)) return {};
  Status status = sink_->write(reinterpret_cast<const uint8_t*>(ready_.data()), ready_.size());
  written_ += ready_.size();
  ready_.clear();
  return status;
}

Status ZstdFileWriter::add(const uint8_t* data, size_t size) {
  Status status = withinMemory([&] { return encoder_->add(data, size, &ready_); });
  return status.ok() ? flush(false) : status;
}

Status ZstdFileWriter::finish(uint64_t* fileSize) {
  Status status = withinMemory([&] { return encoder_->finish(&ready_); });
  if (status.ok()) status = flush(true);
  if (status.ok()) status = sink_->finish();
  if (status.ok()) status = moveTemporaryCopyInto(output_);
  *fileSize = written_;
  return status;
}

Status writeZstdWhole(const std::string& output, int level, const uint8_t* data, size_t size,
                      uint64_t* fileSize) {
  std::string frame;
  Status status =
      withinMemory([&] { return zstdCompress(wholeFileSettings(level, size), data, size, &frame); });
  if (!status.ok()) return status;
  *fileSize = frame.size();
  return writeFileAtomically(output, reinterpret_cast<const uint8_t*>(frame.data()),
                             frame.size());
}

Status makeZstdPatch(int level, const Bytes& old, const Bytes& current, const Bytes& body,
                     ZstdPatch* patch) {
  return withinMemory([&] { return makeEitherPatch(level, old, current, body, patch); });
}

}  // namespace quor
