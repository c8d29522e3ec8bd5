#include "patch/split_patch.h"

#include <algorithm>
#include <cstring>
#include <functional>

#include "base/encoding.h"
#include "patch/patch.h"

namespace quor {

const char splitPatchMagic[16] = {'q', 'u', 'o', 'r', '_', 'z', 'd', 'i',
                                  'f', 'f', ' ', ' ', ' ', ' ', ' ', ' '};

namespace {

constexpr size_t kNewLengthAt = 16;
constexpr size_t kSizesAt = 24;

// One record of a body: its control bytes, diff bytes and extra bytes.
struct RecordBytes {
  const uint8_t* control;
  const uint8_t* diff;
  size_t diffLength;
  const uint8_t* extra;
  size_t extraLength;
};

Status corruptBody() { return Status::corrupt("bspatch: corrupt patch"); }

// Calls visit for every record of the body after checking it; fails for a
// body that is no sound patch.
Status forEachRecord(const uint8_t* body, size_t size,
                     const std::function<Status(const RecordBytes&)>& visit) {
  if (size < kPatchHeaderSize) return Status::corrupt("bspatch: too small");
  if (std::memcmp(body, patchMagic, kPatchMagicSize) != 0) {
    return Status::corrupt("bspatch: wrong header");
  }
  uint64_t newLength = ByteReader(body, size, kPatchMagicSize).u32();
  uint64_t produced = 0;
  size_t position = kPatchHeaderSize;
  while (position < size) {
    if (size - position < kControlSize) return corruptBody();
    ControlTriple control = decodeControl(body + position);
    if (!validLengths(control)) return corruptBody();
    auto diffLength = static_cast<uint64_t>(control.diffLength);
    auto extraLength = static_cast<uint64_t>(control.extraLength);
    uint64_t dataAt = position + kControlSize;
    if (diffLength + extraLength > size - dataAt) return corruptBody();
    produced += diffLength + extraLength;
    RecordBytes record{body + position, body + dataAt, diffLength, body + dataAt + diffLength,
                       extraLength};
    if (Status status = visit(record); !status.ok()) return status;
    position = dataAt + diffLength + extraLength;
  }
  return produced == newLength ? Status() : corruptBody();
}

// One frame of the split patch: the bytes pick gives of every record.
Status encodeFrame(const uint8_t* body, size_t size, ZstdSettings settings, int maxWindowLog,
                   uint64_t contentSize,
                   const std::function<std::pair<const uint8_t*, size_t>(const RecordBytes&)>& pick,
                   std::string* frame) {
  settings.windowLog = windowLogFor(contentSize, maxWindowLog);
  settings.longMatching = settings.windowLog > 24;
  std::unique_ptr<ZstdEncoder> encoder;
  Status status = ZstdEncoder::create(settings, contentSize, &encoder);
  if (!status.ok()) return status;
  status = forEachRecord(body, size, [&](const RecordBytes& record) {
    auto [bytes, length] = pick(record);
    return encoder->add(bytes, length, frame);
  });
  return status.ok() ? encoder->finish(frame) : status;
}

void putU64(uint64_t value, std::string* out, size_t at) {
  for (int i = 0; i < 8; ++i) (*out)[at + i] = static_cast<char>(value >> (8 * i));
}

}  // namespace

Status encodeSplitPatch(const uint8_t* body, size_t bodySize, const ZstdSettings& settings,
                        std::string* patch) {
  uint64_t records = 0, diffBytes = 0, extraBytes = 0;
  Status status = forEachRecord(body, bodySize, [&](const RecordBytes& record) {
    ++records;
    diffBytes += record.diffLength;
    extraBytes += record.extraLength;
    return Status();
  });
  if (!status.ok()) return status;
  std::string control, diff, extra;
  status = encodeFrame(body, bodySize, settings, kControlWindowLog, records * kControlSize,
                       [](const RecordBytes& r) { return std::make_pair(r.control, kControlSize); },
                       &control);
  if (status.ok()) {
    status = encodeFrame(body, bodySize, settings, kDiffWindowLog, diffBytes,
                         [](const RecordBytes& r) { return std::make_pair(r.diff, r.diffLength); },
                         &diff);
  }
  if (status.ok()) {
    status = encodeFrame(
        body, bodySize, settings, kExtraWindowLog, extraBytes,
        [](const RecordBytes& r) { return std::make_pair(r.extra, r.extraLength); }, &extra);
  }
  if (!status.ok()) return status;
  patch->assign(kSplitPatchHeaderSize, '\0');
  patch->replace(0, sizeof splitPatchMagic, splitPatchMagic, sizeof splitPatchMagic);
  putU64(diffBytes + extraBytes, patch, kNewLengthAt);
  putU64(control.size(), patch, kSizesAt);
  putU64(diff.size(), patch, kSizesAt + 8);
  putU64(extra.size(), patch, kSizesAt + 16);
  patch->reserve(patch->size() + control.size() + diff.size() + extra.size());
  *patch += control;
  *patch += diff;
  *patch += extra;
  return {};
}

uint64_t splitPatchNewLength(const uint8_t* header, size_t size) {
  if (size < kSizesAt || std::memcmp(header, splitPatchMagic, sizeof splitPatchMagic) != 0) {
    return 0;
  }
  return ByteReader(header, size, kNewLengthAt).u64();
}

namespace {

// A part of a shared source read from its own position: the three frames
// are read in turns.
class PartSource : public ByteSource {
 public:
  PartSource(SeekableSource& source, uint64_t start) : source_(source), position_(start) {}
  Status read(uint8_t* out, size_t want, size_t* got) override {
    Status status = source_.seek(position_);
    if (status.ok()) status = source_.read(out, want, got);
    if (status.ok()) position_ += *got;
    return status;
  }

 private:
  SeekableSource& source_;
  uint64_t position_;
};

// A frame of the split patch and its decoder.
// A frame may not ask for more window than create mode gives its kind.
struct Frame {
  PartSource part;
  ZstdDecodeSource decoded;
  Frame(SeekableSource& source, uint64_t start, uint64_t size, int windowLogMax)
      : part(source, start), decoded(part, size, nullptr, 0, windowLogMax) {}

  // Exactly count bytes, or the failure named after the frame.
  Status take(uint8_t* out, size_t count, const char* name) {
    size_t got = 0;
    Status status = decoded.read(out, count, &got);
    if (status.ok() && got != count) {
      status = Status::corrupt(std::string("zdiff: the ") + name +
                               " frame ends before the records do");
    }
    return status;
  }
  // Whether the frame holds nothing more (and is sound to its end).
  Status atEnd(const char* name) {
    uint8_t extra = 0;
    size_t got = 0;
    Status status = decoded.read(&extra, 1, &got);
    if (status.ok() && got != 0) {
      status = Status::corrupt(std::string("zdiff: the ") + name +
                               " frame holds more than the records use");
    }
    return status;
  }
};

}  // namespace

struct SplitPatchBodySource::State {
  Status failure;
  // What is ready to go out before the next frame bytes: the body's
  // header, then each record's control bytes.
  uint8_t ready[kPatchHeaderSize > kControlSize ? kPatchHeaderSize : kControlSize];
  size_t readySize = 0, readyAt = 0;
  uint64_t diffLeft = 0, extraLeft = 0;  // of the current record
  bool ended = false;
  std::unique_ptr<Frame> control, diff, extra;

  explicit State(SeekableSource& source) { failure = open(source); }

  Status open(SeekableSource& source) {
    uint8_t header[kSplitPatchHeaderSize];
    size_t got = 0;
    Status status = source.seek(0);
    if (status.ok()) status = source.read(header, sizeof header, &got);
    if (!status.ok()) return status;
    if (got != sizeof header ||
        std::memcmp(header, splitPatchMagic, sizeof splitPatchMagic) != 0) {
      return Status::corrupt("zdiff: no split patch header");
    }
    ByteReader reader(header, sizeof header, kNewLengthAt);
    uint64_t newLength = reader.u64();
    uint64_t sizes[3] = {reader.u64(), reader.u64(), reader.u64()};
    uint64_t room = source.size() - kSplitPatchHeaderSize;
    if (newLength > UINT32_MAX) return Status::corrupt("zdiff: the new file is too long");
    if (sizes[0] > room || sizes[1] > room - sizes[0] ||
        sizes[2] != room - sizes[0] - sizes[1]) {
      return Status::corrupt("zdiff: the frame sizes do not match the file");
    }
    uint64_t at = kSplitPatchHeaderSize;
    control = std::make_unique<Frame>(source, at, sizes[0], kControlWindowLog);
    diff = std::make_unique<Frame>(source, at + sizes[0], sizes[1], kDiffWindowLog);
    extra = std::make_unique<Frame>(source, at + sizes[0] + sizes[1], sizes[2], kExtraWindowLog);
    std::memcpy(ready, patchMagic, kPatchMagicSize);
    for (int i = 0; i < 4; ++i) ready[kPatchMagicSize + i] = static_cast<uint8_t>(newLength >> (8 * i));
    readySize = kPatchHeaderSize;
    return {};
  }

  // The next record's control bytes into ready; ended after the last.
  Status nextRecord() {
    size_t got = 0;
    Status status = control->decoded.read(ready, kControlSize, &got);
    if (!status.ok()) return status;
    if (got == 0) {
      ended = true;
      status = diff->atEnd("diff");
      return status.ok() ? extra->atEnd("extra") : status;
    }
    if (got != kControlSize) return Status::corrupt("zdiff: a control triple is cut short");
    ControlTriple triple = decodeControl(ready);
    if (!validLengths(triple)) return corruptBody();
    diffLeft = static_cast<uint64_t>(triple.diffLength);
    extraLeft = static_cast<uint64_t>(triple.extraLength);
    readySize = kControlSize;
    readyAt = 0;
    return {};
  }

  Status fill(uint8_t* out, size_t want, size_t* got) {
    size_t filled = 0;
    while (filled < want && !ended) {
      size_t room = want - filled;
      Status status;
      if (readyAt < readySize) {
        size_t count = std::min(room, readySize - readyAt);
        std::memcpy(out + filled, ready + readyAt, count);
        readyAt += count;
        filled += count;
      } else if (diffLeft != 0) {
        size_t count = static_cast<size_t>(std::min<uint64_t>(room, diffLeft));
        status = diff->take(out + filled, count, "diff");
        diffLeft -= count;
        filled += count;
      } else if (extraLeft != 0) {
        size_t count = static_cast<size_t>(std::min<uint64_t>(room, extraLeft));
        status = extra->take(out + filled, count, "extra");
        extraLeft -= count;
        filled += count;
      } else {
        status = nextRecord();
      }
      if (!status.ok()) return status;
    }
    *got = filled;
    return {};
  }
};

SplitPatchBodySource::SplitPatchBodySource(SeekableSource& source)
    : state_(std::make_unique<State>(source)) {}
SplitPatchBodySource::~SplitPatchBodySource() = default;

Status SplitPatchBodySource::read(uint8_t* out, size_t want, size_t* got) {
  *got = 0;
  if (!state_->failure.ok()) return state_->failure;
  state_->failure = state_->fill(out, want, got);
  return state_->failure;
}

}  // namespace quor
