#include "container/zstd_stream.h"

#define ZSTD_STATIC_LINKING_ONLY  // the memory estimate
#include <zstd.h>
#include <zstd_errors.h>

#include <algorithm>
#include <vector>

namespace quor {
namespace {

Status zstdFailure(size_t code, int windowLogMax = kMaxZstdWindowLog) {
  if (ZSTD_getErrorCode(code) == ZSTD_error_frameParameter_windowTooLarge) {
    return Status::tooLarge("zstd: the frame asks for a window larger than 2^" +
                            std::to_string(windowLogMax) + " bytes");
  }
  if (ZSTD_getErrorCode(code) == ZSTD_error_memory_allocation) {
    return Status::outOfMemory("zstd: out of memory");
  }
  return Status::corrupt(std::string("zstd: ") + ZSTD_getErrorName(code));
}

// Applies settings to something that takes compression parameters: a
// context or a parameter set.
template <typename Setter>
size_t applySettings(const ZstdSettings& settings, Setter set) {
  size_t result = set(ZSTD_c_compressionLevel, settings.level);
  if (!ZSTD_isError(result)) result = set(ZSTD_c_checksumFlag, 1);
  if (!ZSTD_isError(result) && settings.windowLog != 0) {
    result = set(ZSTD_c_windowLog, settings.windowLog);
  }
  if (!ZSTD_isError(result) && settings.longMatching) {
    result = set(ZSTD_c_enableLongDistanceMatching, 1);
  }
  return result;
}

}  // namespace

int windowLogFor(uint64_t size, int maxLog) {
  int log = 10;
  while (log < maxLog && (uint64_t(1) << log) < size) ++log;
  return log;
}

uint64_t zstdEncoderMemory(const ZstdSettings& settings, uint64_t contentSize) {
  ZSTD_CCtx_params* params = ZSTD_createCCtxParams();
  if (params == nullptr) return 0;
  // zstd's estimate cannot take the long-distance matcher (it divides by
  // parameters it has not derived yet): its tables are added below.
  ZstdSettings searched = settings;
  searched.longMatching = false;
  applySettings(searched, [params](ZSTD_cParameter p, int v) {
    return ZSTD_CCtxParams_setParameter(params, p, v);
  });
  // The window a frame of this size needs at most: the estimate assumes
  // the level's own window otherwise.
  int windowLog = settings.windowLog != 0 ? settings.windowLog
                                          : windowLogFor(contentSize + settings.prefixSize);
  ZSTD_CCtxParams_setParameter(params, ZSTD_c_windowLog, windowLog);
  uint64_t memory = ZSTD_estimateCStreamSize_usingCCtxParams(params);
  ZSTD_freeCCtxParams(params);
  // The matcher's hash table: 8 bytes for every 2^7 bytes of window by
  // default, and as much again for its sequences.
  if (settings.longMatching) memory += (uint64_t(1) << windowLog) / 8;
  return memory;
}

struct ZstdEncoder::State {
  ZSTD_CCtx* context = ZSTD_createCCtx();
  std::vector<uint8_t> output = std::vector<uint8_t>(ZSTD_CStreamOutSize());
  ~State() { ZSTD_freeCCtx(context); }

  // Runs the stream on input until mode is done with it.
  Status pump(ZSTD_inBuffer& input, ZSTD_EndDirective mode, std::string* out) {
    for (;;) {
      ZSTD_outBuffer buffer{output.data(), output.size(), 0};
      size_t left = ZSTD_compressStream2(context, &buffer, &input, mode);
      if (ZSTD_isError(left)) return zstdFailure(left);
      out->append(reinterpret_cast<const char*>(output.data()), buffer.pos);
      bool done = mode == ZSTD_e_end ? left == 0 : input.pos == input.size;
      if (done) return {};
    }
  }
};

ZstdEncoder::ZstdEncoder(std::unique_ptr<State> state) : state_(std::move(state)) {}
ZstdEncoder::~ZstdEncoder() = default;

Status ZstdEncoder::create(const ZstdSettings& settings, uint64_t contentSize,
                           std::unique_ptr<ZstdEncoder>* encoder) {
  auto state = std::make_unique<State>();
  if (state->context == nullptr) return Status::outOfMemory("zstd: out of memory");
  ZSTD_CCtx* context = state->context;
  size_t result = applySettings(settings, [context](ZSTD_cParameter p, int v) {
    return ZSTD_CCtx_setParameter(context, p, v);
  });
  if (!ZSTD_isError(result)) result = ZSTD_CCtx_setPledgedSrcSize(context, contentSize);
  if (!ZSTD_isError(result) && settings.prefixSize != 0) {
    result = ZSTD_CCtx_refPrefix(context, settings.prefix, settings.prefixSize);
  }
  if (ZSTD_isError(result)) return zstdFailure(result);
  encoder->reset(new ZstdEncoder(std::move(state)));
  return {};
}

Status ZstdEncoder::add(const uint8_t* data, size_t size, std::string* out) {
  ZSTD_inBuffer input{data, size, 0};
  return state_->pump(input, ZSTD_e_continue, out);
}

Status ZstdEncoder::finish(std::string* out) {
  ZSTD_inBuffer input{nullptr, 0, 0};
  return state_->pump(input, ZSTD_e_end, out);
}

Status zstdCompress(const ZstdSettings& settings, const uint8_t* data, size_t size,
                    std::string* frame) {
  std::unique_ptr<ZstdEncoder> encoder;
  Status status = ZstdEncoder::create(settings, size, &encoder);
  if (status.ok()) status = encoder->add(data, size, frame);
  if (status.ok()) status = encoder->finish(frame);
  return status;
}

struct ZstdDecodeSource::State {
  ByteSource& source;
  uint64_t unread;  // bytes of the limit not read from the source yet
  ZSTD_DCtx* context = ZSTD_createDCtx();
  std::vector<uint8_t> input = std::vector<uint8_t>(ZSTD_DStreamInSize());
  ZSTD_inBuffer pending{input.data(), 0, 0};
  bool sourceEnded = false;
  bool frameDone = false;
  Status failure;
  int windowLogMax;

  State(ByteSource& from, uint64_t limit, int logMax)
      : source(from), unread(limit), windowLogMax(logMax) {}
  ~State() { ZSTD_freeDCtx(context); }

  Status refill() {
    size_t want = static_cast<size_t>(std::min<uint64_t>(input.size(), unread));
    size_t got = 0;
    if (want != 0) {
      Status status = source.read(input.data(), want, &got);
      if (!status.ok()) return status;
    }
    unread -= got;
    sourceEnded = got < want || unread == 0;
    pending = {input.data(), got, 0};
    return {};
  }

  // Decodes into out until it is full or the frame ends.
  Status decode(uint8_t* out, size_t want, size_t* got) {
    ZSTD_outBuffer buffer{out, want, 0};
    while (!frameDone && buffer.pos < buffer.size) {
      if (pending.pos == pending.size && !sourceEnded) {
        if (Status status = refill(); !status.ok()) return status;
      }
      size_t before = buffer.pos;
      size_t consumedBefore = pending.pos;
      size_t left = ZSTD_decompressStream(context, &buffer, &pending);
      if (ZSTD_isError(left)) return zstdFailure(left, windowLogMax);
      if (left == 0) {
        frameDone = true;
      } else if (pending.pos == pending.size && sourceEnded && buffer.pos == before &&
                 pending.pos == consumedBefore) {
        return Status::corrupt("zstd: the frame is cut short");
      }
    }
    *got = buffer.pos;
    if (frameDone && (pending.pos != pending.size || unread != 0)) {
      return Status::corrupt("zstd: bytes after the frame");
    }
    return {};
  }
};

ZstdDecodeSource::ZstdDecodeSource(ByteSource& source, uint64_t limit, const uint8_t* prefix,
                                   size_t prefixSize, int windowLogMax)
    : state_(std::make_unique<State>(source, limit, std::min(windowLogMax, kMaxZstdWindowLog))) {
  ZSTD_DCtx* context = state_->context;
  if (context == nullptr) {
    state_->failure = Status::outOfMemory("zstd: out of memory");
    return;
  }
  size_t result = ZSTD_DCtx_setParameter(context, ZSTD_d_windowLogMax, state_->windowLogMax);
  if (!ZSTD_isError(result) && prefixSize != 0) {
    result = ZSTD_DCtx_refPrefix(context, prefix, prefixSize);
  }
  if (ZSTD_isError(result)) state_->failure = zstdFailure(result);
}

ZstdDecodeSource::~ZstdDecodeSource() = default;

Status ZstdDecodeSource::read(uint8_t* out, size_t want, size_t* got) {
  *got = 0;
  if (!state_->failure.ok()) return state_->failure;
  state_->failure = state_->decode(out, want, got);
  return state_->failure;
}

uint64_t zstdContentSize(const uint8_t* header, size_t size) {
  unsigned long long content = ZSTD_getFrameContentSize(header, size);
  if (content == ZSTD_CONTENTSIZE_UNKNOWN || content == ZSTD_CONTENTSIZE_ERROR) return 0;
  return content;
}

bool isZstdFrame(const uint8_t* bytes, size_t size) {
  return size >= 4 && bytes[0] == 0x28 && bytes[1] == 0xB5 && bytes[2] == 0x2F &&
         bytes[3] == 0xFD;
}

}  // namespace quor
