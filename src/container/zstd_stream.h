// zstd frames for the second encoding of the update data: an encoder that
// takes bytes piece by piece and appends the frame to a string or a sink,
// and a source that decodes one frame read from a byte range.
//
// Memory: a decoder holds its window (at most 2^kMaxZstdWindowLog bytes,
// and never more than the frame's content when the frame names its size)
// plus about 256 KiB of buffers; a frame that asks for a larger window is
// refused before anything is allocated for it, so no publisher can choose
// what a player's machine must hold. An encoder's cost follows its level
// and window: zstdEncoderMemory says how much before one is made.
// Any thread may use its own encoders and decoders.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "base/byte_stream.h"
#include "base/status.h"

namespace quor {

// The largest window a frame may ask a player for: 128 MiB (the window of
// a patch-from frame spans the old file and the new). A whole file's
// frame may ask for a quarter of that, so that a player decodes two at
// once in well under 128 MiB: on real binaries a window beyond 32 MiB
// saves less than 0.1%.
inline constexpr int kMaxZstdWindowLog = 27;
inline constexpr int kWholeFileWindowLog = 25;
// The compression levels create mode offers, and its default.
inline constexpr int kMinZstdLevel = 1;
inline constexpr int kMaxZstdLevel = 22;
inline constexpr int kDefaultZstdLevel = 19;

struct ZstdSettings {
  int level = kDefaultZstdLevel;
  // log2 of the window; 0 lets zstd choose by level and size. At most
  // kMaxZstdWindowLog, or the frame is not one a player decodes.
  int windowLog = 0;
  // Matches found with zstd's long-distance matcher as well, for windows
  // beyond what the level's own search reaches.
  bool longMatching = false;
  // A prefix the frame may refer to (the old file of a patch-from), which
  // must stay alive and unchanged while the encoder is used.
  const uint8_t* prefix = nullptr;
  size_t prefixSize = 0;
};

// The smallest window that holds size bytes, within [10, maxLog].
int windowLogFor(uint64_t size, int maxLog = kMaxZstdWindowLog);

// What an encoder with these settings costs, for memory budgets.
uint64_t zstdEncoderMemory(const ZstdSettings& settings, uint64_t contentSize);

class ZstdEncoder {
 public:
  // contentSize goes into the frame's header; the frame fails unless
  // exactly that many bytes are added.
  static Status create(const ZstdSettings& settings, uint64_t contentSize,
                       std::unique_ptr<ZstdEncoder>* encoder);
  ~ZstdEncoder();
  ZstdEncoder(const ZstdEncoder&) = delete;
  ZstdEncoder& operator=(const ZstdEncoder&) = delete;

  // Compresses the bytes and appends what is ready of the frame to *out.
  Status add(const uint8_t* data, size_t size, std::string* out);
  // Ends the frame into *out. Once, after the last add.
  Status finish(std::string* out);

 private:
  struct State;
  explicit ZstdEncoder(std::unique_ptr<State> state);
  std::unique_ptr<State> state_;
};

// One whole frame of data in one call.
Status zstdCompress(const ZstdSettings& settings, const uint8_t* data, size_t size,
                    std::string* frame);

// The content of one frame, pulled out piece by piece. The frame is read
// from source's current position, at most limit bytes of it; the bytes
// after the frame are not read. A frame that is damaged, cut, followed by
// more than its own bytes within limit, or asks for a window above its
// cap fails with a "zstd: ..." message, which every read after repeats.
class ZstdDecodeSource : public ByteSource {
 public:
  // prefix as the frame was made with (ZstdSettings::prefix), kept alive
  // by the caller; none for a frame made without. windowLogMax lowers the
  // cap for frames that never need the largest window.
  ZstdDecodeSource(ByteSource& source, uint64_t limit, const uint8_t* prefix = nullptr,
                   size_t prefixSize = 0, int windowLogMax = kMaxZstdWindowLog);
  ~ZstdDecodeSource() override;
  ZstdDecodeSource(const ZstdDecodeSource&) = delete;
  ZstdDecodeSource& operator=(const ZstdDecodeSource&) = delete;

  Status read(uint8_t* out, size_t want, size_t* got) override;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// The content size a frame's header names, from its first bytes; none
// (0) when they are no frame header or do not say.
uint64_t zstdContentSize(const uint8_t* header, size_t size);

// Whether the bytes begin with a zstd frame's magic number.
bool isZstdFrame(const uint8_t* bytes, size_t size);

}  // namespace quor
