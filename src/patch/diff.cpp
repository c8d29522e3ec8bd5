#include "patch/diff.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "base/encoding.h"
#include "container/container.h"
#include "container/container_builder.h"
#include "container/container_writer.h"
#include "patch/extension.h"
#include "patch/match_filter.h"
#include "patch/patch.h"
#include "patch/suffix_sort.h"

namespace quor {
namespace {

// Largest piece handed to one write, and the largest diff or extra length
// that bspatch accepts in one record.
constexpr uint64_t kMaxPiece = 0x7FFFFFFF;
// Diff bytes are assembled in a buffer of at most this size, a piece at a
// time, so the patch costs no working memory proportional to the new file.
constexpr size_t kWorkBufferSize = size_t(1) << 20;
// Records an ordinary patch body holds beside the new file's bytes, for
// the memory estimate.
constexpr size_t kFirstRecords = 256;
// A match replaces the current alignment when it is longer by more than
// this (and at least MatchRules::minMatch long).
constexpr int64_t kMatchMargin = 8;
// Memory of one deflate stream at level 9 (zlib's window, hash chains and
// pending buffer: 256 KiB, and its state), with room to spare.
constexpr uint64_t kDeflateMemory = uint64_t(320) << 10;

// A search compares at most this many bytes of the new file: where the
// old and the new file share long runs that do not beat the alignment,
// the scan searches again at each next position, and whole comparisons
// would cost the run's length every time. A longer match is taken as this
// long, and the extensions carry its record on along its alignment.
constexpr int64_t kMaxCompared = 512;

using Files = DiffFiles;

struct Record {
  int64_t diffLength;
  int64_t extraLength;
  int64_t oldSeek;
};

Status outOfMemory() { return Status::outOfMemory("bsdiff: out of memory"); }
// The writer's sink fails when its memory or its stream does.
Status writeFailed() { return Status::ioError("bsdiff: the patch could not be written"); }

int writeThrough(DiffWriter& writer, const uint8_t* bytes, uint64_t count) {
  int status = 0;
  while (count > 0) {
    size_t piece = static_cast<size_t>(std::min(count, kMaxPiece));
    int pieceStatus = writer.write(writer.stream, bytes, piece);
    if (pieceStatus == -1) return -1;
    if (pieceStatus != 0) status = pieceStatus;
    bytes += piece;
    count -= piece;
  }
  return status;
}

// Writes one record: the control triple, the diff bytes of new against old
// from (lastScan, lastPos), then the extra bytes that follow in new.
class RecordSink {
 public:
  RecordSink(DiffWriter& writer, const Files& files, uint8_t* work, size_t workSize)
      : writer_(writer), files_(files), work_(work), workSize_(workSize) {}

  Status write(const Record& record, int64_t lastScan, int64_t lastPos) {
    if (uint64_t(record.diffLength) > kMaxPiece || uint64_t(record.extraLength) > kMaxPiece) {
      return Status::tooLarge("bsdiff: a record longer than a patch may hold");
    }
    uint8_t control[kControlSize];
    writeOffset(record.diffLength, control);
    writeOffset(record.extraLength, control + 8);
    writeOffset(record.oldSeek, control + 16);
    if (writeThrough(writer_, control, kControlSize) != 0) return writeFailed();
    for (int64_t done = 0; done < record.diffLength;) {
      size_t piece = static_cast<size_t>(std::min<int64_t>(record.diffLength - done, workSize_));
      const uint8_t* newBytes = files_.N + lastScan + done;
      const uint8_t* oldBytes = files_.O + lastPos + done;
      for (size_t i = 0; i < piece; ++i) work_[i] = uint8_t(newBytes[i] - oldBytes[i]);
      if (writeThrough(writer_, work_, piece) != 0) return writeFailed();
      done += static_cast<int64_t>(piece);
    }
    const uint8_t* extra = files_.N + lastScan + record.diffLength;
    if (writeThrough(writer_, extra, static_cast<uint64_t>(record.extraLength)) != 0) {
      return writeFailed();
    }
    return {};
  }

 private:
  DiffWriter& writer_;
  const Files& files_;
  uint8_t* work_;
  size_t workSize_;
};

// The greedy scan over the new file; writes every record through sink.
// Only matches of rules.minMatch bytes count, so positions where the
// filter (when there is one) rules them out are passed without a search.
template <typename Index>
Status scanNewFile(const Index* I, const Files& f, const MatchRules& rules, MatchFilter* filter,
                   RecordSink& sink) {
  int64_t scan = 0;
  int64_t len = 0;
  int64_t pos = 0;
  int64_t lastScan = 0;
  int64_t lastPos = 0;
  int64_t lastOffset = 0;
  Match match{0, 0, 0};
  auto compared = [&f](int64_t at) { return std::min(f.m - at, kMaxCompared); };
  while (scan < f.m) {
    int64_t oldScore = 0;
    scan += len;
    // oldScore counts the bytes of [scan, scsc) that the current alignment
    // (lastOffset) already matches.
    int64_t scsc = scan;
    while (scan < f.m) {
      len = 0;
      if (filter == nullptr || filter->mayMatchAt(scan)) {
        match = longestMatch(I, f.O, f.n, f.N + scan, compared(scan), 0, f.n);
        if (match.length >= rules.minMatch) {
          len = match.length;
          pos = match.position;
        }
      }
      if (len == 0) {
        if (scsc > scan) {
          if (f.sameAt(scan, scan + lastOffset)) --oldScore;
        } else {
          scsc = scan + 1;
        }
        ++scan;
        continue;
      }
      for (; scsc < scan + len; ++scsc) {
        if (f.sameAt(scsc, scsc + lastOffset)) ++oldScore;
      }
      if (len == oldScore || len > oldScore + kMatchMargin) break;
      if (f.sameAt(scan, scan + lastOffset)) --oldScore;
      ++scan;
    }
    if (len == oldScore && scan != f.m) continue;
    // Of equal matches, the one nearest the current alignment most often
    // is the old copy of this part of the file, and extends furthest.
    if (scan != f.m) {
      pos = nearestEqualMatch(I, f.O, f.n, f.N + scan, compared(scan), match, scan + lastOffset);
    }

    int64_t lenf = forwardExtension(f, lastScan, lastPos, scan, rules);
    int64_t lenb = backwardExtension(f, lastScan, scan, pos, rules);
    splitOverlap(f, lastScan, lastPos, scan, pos, lenf, lenb);
    // The last record has no next match to seek to.
    int64_t seek = scan == f.m ? 0 : (pos - lenb) - (lastPos + lenf);
    Record record{lenf, (scan - lenb) - (lastScan + lenf), seek};
    Status written = sink.write(record, lastScan, lastPos);
    if (!written.ok()) return written;
    lastScan = scan - lenb;
    lastPos = pos - lenb;
    lastOffset = pos - scan;
  }
  return {};
}

// Working memory through the writer's allocator, released on every path.
class WorkMemory {
 public:
  explicit WorkMemory(DiffWriter& writer) : writer_(writer) {}
  ~WorkMemory() { free(); }
  WorkMemory(const WorkMemory&) = delete;
  WorkMemory& operator=(const WorkMemory&) = delete;

  bool allocate(size_t size) {
    memory_ = writer_.allocate(size);
    return memory_ != nullptr;
  }
  void free() {
    if (memory_ != nullptr) writer_.release(memory_);
    memory_ = nullptr;
  }
  template <typename T>
  T* as() const {
    return static_cast<T*>(memory_);
  }

 private:
  DiffWriter& writer_;
  void* memory_ = nullptr;
};

Status writeHeader(uint32_t newLength, DiffWriter& writer) {
  ByteWriter header;
  header.raw(patchMagic, kPatchMagicSize);
  header.u32(newLength);
  if (writeThrough(writer, header.bytes().data(), header.bytes().size()) != 0) {
    return writeFailed();
  }
  return {};
}

// The old file's suffix array in suffixArray, from the writer's memory.
template <typename Index>
Status sortOldFile(const Files& f, DiffWriter& writer, WorkMemory& suffixArray) {
  const size_t entries = static_cast<size_t>(f.n) + 1;
  if (!suffixArray.allocate(entries * sizeof(Index))) return outOfMemory();
  WorkMemory groups(writer);
  if (!groups.allocate(entries * sizeof(Index))) return outOfMemory();
  suffixSort<Index>(suffixArray.as<Index>(), groups.as<Index>(), f.O, static_cast<Index>(f.n));
  return {};
}

// The header and the records of one body by rules, through writer. The
// match filter is built only for rules whose matches it answers for.
template <typename Index>
Status writeBody(const Index* I, const Files& f, const MatchRules& rules, DiffWriter& writer) {
  Status header = writeHeader(static_cast<uint32_t>(f.m), writer);
  if (!header.ok()) return header;
  WorkMemory work(writer);
  size_t workSize = static_cast<size_t>(std::min<int64_t>(f.m + 1, kWorkBufferSize));
  if (!work.allocate(workSize)) return outOfMemory();
  RecordSink sink(writer, f, work.as<uint8_t>(), workSize);
  if (rules.minMatch < MatchFilter::kMinMatch) return scanNewFile(I, f, rules, nullptr, sink);
  WorkMemory filterTable(writer);
  if (!filterTable.allocate(MatchFilter::tableSize(f.n))) return outOfMemory();
  MatchFilter filter(filterTable.as<uint8_t>(), f.O, f.n, f.N, f.m);
  return scanNewFile(I, f, rules, &filter, sink);
}

void* plainAllocate(size_t size) { return std::malloc(size); }
void plainRelease(void* memory) { std::free(memory); }

// One rule set's patch, compressed as its body is written. A candidate
// that reaches limit bytes can no longer be the smaller one and stops.
struct Candidate {
  explicit Candidate(uint64_t sizeLimit) : limit(sizeLimit) {}
  ContainerBuilder container{binary_patch};
  uint64_t limit;
  Status failure;  // the container's, when it failed
  bool overLimit = false;
};

int addToCandidate(void* stream, const uint8_t* bytes, size_t count) {
  Candidate& candidate = *static_cast<Candidate*>(stream);
  candidate.failure = candidate.container.add(bytes, count);
  if (!candidate.failure.ok()) return -1;
  candidate.overLimit = candidate.container.size() >= candidate.limit;
  return candidate.overLimit ? -1 : 0;
}

template <typename Index>
Status makeCandidate(const Index* I, const Files& f, const MatchRules& rules,
                     Candidate& candidate) {
  DiffWriter writer{&candidate, plainAllocate, plainRelease, addToCandidate};
  Status written = writeBody(I, f, rules, writer);
  if (candidate.overLimit) return {};
  if (!candidate.failure.ok()) return candidate.failure;
  if (!written.ok()) return written;
  Status finished = candidate.container.finish();
  candidate.overLimit = candidate.container.size() >= candidate.limit;
  return finished;
}

// Writes the smaller of the two rule sets' patches to out (the long
// matches' on equal sizes). The short matches' patch is made second and
// given up as soon as it is no smaller.
template <typename Index>
Status writeSmallerPatch(const Files& f, std::ostream& out) {
  DiffWriter plain{nullptr, plainAllocate, plainRelease, nullptr};
  WorkMemory suffixArray(plain);
  Status sorted = sortOldFile<Index>(f, plain, suffixArray);
  if (!sorted.ok()) return sorted;
  const Index* I = suffixArray.as<Index>();
  auto longMatches = std::make_unique<Candidate>(std::numeric_limits<uint64_t>::max());
  Status made = makeCandidate(I, f, kLongMatchRules, *longMatches);
  if (!made.ok()) return made;
  auto shortMatches = std::make_unique<Candidate>(longMatches->container.size());
  made = makeCandidate(I, f, kShortMatchRules, *shortMatches);
  if (!made.ok()) return made;
  suffixArray.free();
  if (shortMatches->overLimit) {
    shortMatches.reset();
    return longMatches->container.writeTo(out);
  }
  longMatches.reset();
  return shortMatches->container.writeTo(out);
}

}  // namespace

int64_t matchLength(const uint8_t* a, int64_t aLen, const uint8_t* b, int64_t bLen) {
  const int64_t limit = std::min(aLen, bLen);
  int64_t i = 0;
  while (i + 8 <= limit) {
    uint64_t wordA;
    uint64_t wordB;
    std::memcpy(&wordA, a + i, 8);
    std::memcpy(&wordB, b + i, 8);
    if (wordA != wordB) break;
    i += 8;
  }
  while (i < limit && a[i] == b[i]) ++i;
  return i;
}

template <typename Index>
Match longestMatch(const Index* I, const uint8_t* O, int64_t n, const uint8_t* P, int64_t p,
                   int64_t st, int64_t en) {
  while (en - st >= 2) {
    int64_t x = st + (en - st) / 2;
    int64_t suffix = I[x];
    size_t compared = static_cast<size_t>(std::min(n - suffix, p));
    if (compared != 0 && std::memcmp(O + suffix, P, compared) < 0) {
      st = x;
    } else {
      en = x;
    }
  }
  int64_t a = matchLength(O + I[st], n - I[st], P, p);
  int64_t b = matchLength(O + I[en], n - I[en], P, p);
  if (a > b) return {a, I[st], st};
  return {b, I[en], en};
}

template <typename Index>
int64_t nearestEqualMatch(const Index* I, const uint8_t* O, int64_t n, const uint8_t* P, int64_t p,
                          const Match& match, int64_t target) {
  int64_t best = match.position;
  auto distance = [target](int64_t position) {
    return position > target ? position - target : target - position;
  };
  for (int64_t direction : {-1, 1}) {
    for (int64_t k = 1; k <= kNearbyRanks; ++k) {
      int64_t rank = match.rank + direction * k;
      if (rank < 0 || rank > n) break;
      int64_t position = I[rank];
      if (matchLength(O + position, n - position, P, p) < match.length) break;
      if (distance(position) < distance(best) ||
          (distance(position) == distance(best) && position < best)) {
        best = position;
      }
    }
  }
  return best;
}

template Match longestMatch<int32_t>(const int32_t*, const uint8_t*, int64_t, const uint8_t*,
                                     int64_t, int64_t, int64_t);
template Match longestMatch<int64_t>(const int64_t*, const uint8_t*, int64_t, const uint8_t*,
                                     int64_t, int64_t, int64_t);
template int64_t nearestEqualMatch<int32_t>(const int32_t*, const uint8_t*, int64_t,
                                            const uint8_t*, int64_t, const Match&, int64_t);
template int64_t nearestEqualMatch<int64_t>(const int64_t*, const uint8_t*, int64_t,
                                            const uint8_t*, int64_t, const Match&, int64_t);

Status writePatchBody(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                      uint32_t newLength, const MatchRules& rules, DiffWriter& writer) {
  Files files{old, oldLength, newData, newLength};
  auto write = [&](auto entry) -> Status {
    using Index = decltype(entry);
    WorkMemory suffixArray(writer);
    Status sorted = sortOldFile<Index>(files, writer, suffixArray);
    if (!sorted.ok()) return sorted;
    return writeBody(suffixArray.as<Index>(), files, rules, writer);
  };
  try {
    // 32-bit entries hold every index and the run marker −(n + 1) below 2^31.
    if (oldLength < uint32_t(std::numeric_limits<int32_t>::max())) return write(int32_t{});
    return write(int64_t{});
  } catch (const std::bad_alloc&) {  // the sort's stack of pending groups
    return outOfMemory();
  }
}

uint64_t bsdiffMemory(uint64_t oldLength, uint64_t newLength) {
  uint64_t entrySize = oldLength < uint64_t(std::numeric_limits<int32_t>::max()) ? 4 : 8;
  uint64_t index = entrySize * (oldLength + 1);
  uint64_t body = kPatchHeaderSize + newLength + kFirstRecords * kControlSize;
  // A patch's container: deflate's bound on the body, and its last piece.
  uint64_t packed = body + body / 1024 + kContainerHeaderSize + kContainerPieceSize;
  uint64_t sorting = 2 * index;
  uint64_t filter = MatchFilter::tableSize(int64_t(oldLength));
  uint64_t longScan = filter + packed + kDeflateMemory;
  // The long matches' patch, and the short matches' one, given up at that size.
  uint64_t shortScan = 2 * packed + kDeflateMemory;
  uint64_t work = std::min<uint64_t>(newLength + 1, kWorkBufferSize);
  uint64_t scanning = index + work + std::max(longScan, shortScan);
  // The smaller patch and the output stream, which holds up to twice that
  // while it grows.
  uint64_t writing = 3 * packed;
  return std::max({sorting, scanning, writing});
}

Status bsdiff(const uint8_t* old, uint32_t oldLength, const uint8_t* newData, uint32_t newLength,
              std::ostream& out) {
  Files files{old, oldLength, newData, newLength};
  try {
    if (oldLength < uint32_t(std::numeric_limits<int32_t>::max())) {
      return writeSmallerPatch<int32_t>(files, out);
    }
    return writeSmallerPatch<int64_t>(files, out);
  } catch (const std::bad_alloc&) {
    return outOfMemory();
  }
}

}  // namespace quor
