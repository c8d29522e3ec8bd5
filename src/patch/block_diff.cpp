#include "patch/block_diff.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <new>

#include "container/container.h"
#include "container/container_writer.h"
#include "patch/diff.h"
#include "patch/extension.h"
#include "patch/patch_body_source.h"

namespace quor {
namespace {

constexpr uint32_t kSmallestBlock = 16;
constexpr uint32_t kLargestBlock = 4096;
// The container encoder's buffers and zlib's state, with room to spare.
constexpr uint64_t kEncoderMemory = uint64_t(4) << 20;
constexpr uint32_t kEmptySlot = 0xFFFFFFFF;
// Slots tried for one hash before giving up; a block whose slots are all
// taken is left out of the index.
constexpr uint32_t kProbes = 8;
// A match replaces the current alignment when it is longer by more than
// this, and at least kRules.minMatch long. The block index finds few of
// the short matches the other rules live on, so it keeps to these.
constexpr int64_t kMatchMargin = 8;
constexpr MatchRules kRules = kLongMatchRules;
// Bytes the current alignment must match at the scan position to be
// followed without a lookup.
constexpr int64_t kAlignedRun = 8;
// The most new bytes one record covers, so that its diff and extra lengths
// stay within what bspatch accepts (0x7FFFFFFF) even after a long match.
constexpr int64_t kMaxGap = int64_t(1) << 29;
constexpr uint64_t kHashFactor = 0x100000001B3ULL;
constexpr uint64_t kSpread = 0x9E3779B97F4A7C15ULL;

uint64_t slotCount(uint64_t oldLength, uint32_t blockSize) {
  uint64_t slots = 16;
  while (slots < 2 * (oldLength / blockSize)) slots *= 2;
  return slots;
}

// The hash of blockSize bytes, and its update when the block moves on by
// one byte.
class RollingHash {
 public:
  explicit RollingHash(uint32_t blockSize) : blockSize_(blockSize) {
    for (uint32_t i = 0; i < blockSize; ++i) outFactor_ *= kHashFactor;
  }
  uint64_t of(const uint8_t* block) const {
    uint64_t hash = 0;
    for (uint32_t i = 0; i < blockSize_; ++i) hash = hash * kHashFactor + block[i] + 1;
    return hash;
  }
  uint64_t roll(uint64_t hash, uint8_t leaving, uint8_t entering) const {
    return hash * kHashFactor + entering + 1 - (uint64_t(leaving) + 1) * outFactor_;
  }

 private:
  uint32_t blockSize_;
  uint64_t outFactor_ = 1;
};

// Positions of the old file's blocks by hash, open addressing. Of equal
// blocks only the first is kept.
class BlockIndex {
 public:
  BlockIndex(const uint8_t* old, int64_t oldLength, uint32_t blockSize)
      : old_(old), oldLength_(oldLength), blockSize_(blockSize) {}

  bool build(const RollingHash& hash) {
    uint64_t slots = slotCount(uint64_t(oldLength_), blockSize_);
    table_.reset(new (std::nothrow) uint32_t[slots]);
    if (!table_) return false;
    std::fill(table_.get(), table_.get() + slots, kEmptySlot);
    mask_ = slots - 1;
    shift_ = 64 - std::countr_zero(slots);
    for (int64_t at = 0; at + blockSize_ <= oldLength_; at += blockSize_) {
      insert(hash.of(old_ + at), uint32_t(at));
    }
    return true;
  }

  // The old position of a block equal to the one at block, or −1.
  int64_t find(uint64_t hash, const uint8_t* block) const {
    uint64_t slot = (hash * kSpread) >> shift_;
    for (uint32_t probe = 0; probe < kProbes; ++probe, slot = (slot + 1) & mask_) {
      uint32_t at = table_[slot];
      if (at == kEmptySlot) return -1;
      if (std::memcmp(old_ + at, block, blockSize_) == 0) return at;
    }
    return -1;
  }

 private:
  void insert(uint64_t hash, uint32_t position) {
    uint64_t slot = (hash * kSpread) >> shift_;
    for (uint32_t probe = 0; probe < kProbes; ++probe, slot = (slot + 1) & mask_) {
      uint32_t at = table_[slot];
      if (at == kEmptySlot) {
        table_[slot] = position;
        return;
      }
      if (std::memcmp(old_ + at, old_ + position, blockSize_) == 0) return;
    }
  }

  const uint8_t* old_;
  int64_t oldLength_;
  uint32_t blockSize_;
  std::unique_ptr<uint32_t[]> table_;
  uint64_t mask_ = 0;
  int shift_ = 0;
};

// The scan of the new file, one record at a time.
class BlockScanner : public RecordSource {
 public:
  BlockScanner(const DiffFiles& files, uint32_t blockSize)
      : f_(files), blockSize_(blockSize), hash_(blockSize), index_(files.O, files.n, blockSize) {}

  bool buildIndex() { return index_.build(hash_); }

  bool next(ControlTriple* record) override {
    if (finished_) return false;
    while (scan_ < f_.m) {
      if (scan_ - lastScan_ >= kMaxGap) {
        cut(record);
        return true;
      }
      if (followAlignment()) continue;
      int64_t pos = lookUp();
      if (pos >= 0 && pos - scan_ != lastOffset_) {
        int64_t len = std::min(matchLength(f_.O + pos, f_.n - pos, f_.N + scan_, f_.m - scan_),
                               kMaxGap);
        if (len >= kRules.minMatch && len > alignedMatches(len) + kMatchMargin) {
          takeMatch(pos, len, record);
          return true;
        }
      }
      ++scan_;
    }
    finished_ = true;
    if (f_.m == 0) return false;
    int64_t lenf = forwardExtension(f_, lastScan_, lastPos_, f_.m, kRules);
    *record = {lenf, f_.m - lastScan_ - lenf, 0};
    return true;
  }

 private:
  // Steps over the bytes the current alignment matches exactly, when they
  // are at least kAlignedRun; whether it did.
  bool followAlignment() {
    int64_t oldAt = scan_ + lastOffset_;
    if (oldAt < 0 || oldAt >= f_.n) return false;
    int64_t limit = std::min(f_.m - scan_, lastScan_ + kMaxGap - scan_);
    int64_t run = matchLength(f_.O + oldAt, f_.n - oldAt, f_.N + scan_, limit);
    if (run < kAlignedRun) return false;
    scan_ += run;
    return true;
  }

  int64_t lookUp() {
    if (scan_ + blockSize_ > f_.m) return -1;
    if (hashAt_ + 1 == scan_) {
      hashValue_ = hash_.roll(hashValue_, f_.N[hashAt_], f_.N[hashAt_ + blockSize_]);
    } else if (hashAt_ != scan_) {
      hashValue_ = hash_.of(f_.N + scan_);
    }
    hashAt_ = scan_;
    return index_.find(hashValue_, f_.N + scan_);
  }

  // Bytes of [scan, scan + len) that the current alignment matches.
  int64_t alignedMatches(int64_t len) const {
    int64_t count = 0;
    for (int64_t i = scan_; i < scan_ + len; ++i) count += f_.sameAt(i, i + lastOffset_);
    return count;
  }

  void takeMatch(int64_t pos, int64_t len, ControlTriple* record) {
    int64_t lenf = forwardExtension(f_, lastScan_, lastPos_, scan_, kRules);
    int64_t lenb = backwardExtension(f_, lastScan_, scan_, pos, kRules);
    splitOverlap(f_, lastScan_, lastPos_, scan_, pos, lenf, lenb);
    *record = {lenf, (scan_ - lenb) - (lastScan_ + lenf), (pos - lenb) - (lastPos_ + lenf)};
    lastScan_ = scan_ - lenb;
    lastPos_ = pos - lenb;
    lastOffset_ = pos - scan_;
    scan_ += len;
  }

  // Ends a record at the scan position without a new match; the next one
  // goes on along the same alignment.
  void cut(ControlTriple* record) {
    int64_t gap = scan_ - lastScan_;
    int64_t lenf = forwardExtension(f_, lastScan_, lastPos_, scan_, kRules);
    *record = {lenf, gap - lenf, gap - lenf};
    lastScan_ = scan_;
    lastPos_ += gap;
  }

  const DiffFiles& f_;
  uint32_t blockSize_;
  RollingHash hash_;
  BlockIndex index_;
  int64_t scan_ = 0;
  int64_t lastScan_ = 0;
  int64_t lastPos_ = 0;
  int64_t lastOffset_ = 0;
  int64_t hashAt_ = -2;
  uint64_t hashValue_ = 0;
  bool finished_ = false;
};

// The scanner and the body it feeds, kept alive together.
class BlockDiffBody : public ByteSource {
 public:
  BlockDiffBody(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                uint32_t newLength, uint32_t blockSize)
      : files_{old, oldLength, newData, newLength},
        scanner_(files_, blockSize),
        body_(old, oldLength, newData, newLength, scanner_) {}

  bool buildIndex() { return scanner_.buildIndex(); }
  Status read(uint8_t* out, size_t want, size_t* got) override {
    return body_.read(out, want, got);
  }

 private:
  DiffFiles files_;
  BlockScanner scanner_;
  PatchBodySource body_;
};

}  // namespace

uint64_t blockDiffMemory(uint64_t oldLength, uint32_t blockSize) {
  return slotCount(oldLength, blockSize) * sizeof(uint32_t) + kEncoderMemory;
}

uint32_t blockSizeWithin(uint64_t oldLength, uint64_t memoryBudget) {
  for (uint32_t blockSize = kSmallestBlock; blockSize <= kLargestBlock; blockSize *= 2) {
    if (blockDiffMemory(oldLength, blockSize) <= memoryBudget) return blockSize;
  }
  return 0;
}

DiffMethod chooseDiffMethod(uint64_t oldLength, uint64_t newLength, uint64_t memoryBudget) {
  if (bsdiffMemory(oldLength, newLength) <= memoryBudget) return DiffMethod::kSuffixArray;
  if (blockSizeWithin(oldLength, memoryBudget) != 0) return DiffMethod::kBlockIndex;
  return DiffMethod::kNone;
}

Status openBlockDiff(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                     uint32_t newLength, uint32_t blockSize, std::unique_ptr<ByteSource>* body) {
  auto diff = std::make_unique<BlockDiffBody>(old, oldLength, newData, newLength, blockSize);
  if (!diff->buildIndex()) return Status::outOfMemory("bsdiff: out of memory");
  *body = std::move(diff);
  return {};
}

Status blockDiffToFile(const uint8_t* old, uint32_t oldLength, const uint8_t* newData,
                       uint32_t newLength, uint64_t memoryBudget, const std::string& outputPath) {
  uint32_t blockSize = blockSizeWithin(oldLength, memoryBudget);
  if (blockSize == 0) return Status::tooLarge("bsdiff: no block index fits the memory budget");
  std::unique_ptr<ByteSource> body;
  Status opened = openBlockDiff(old, oldLength, newData, newLength, blockSize, &body);
  if (!opened.ok()) return opened;
  ContainerSource source = [&](uint8_t* buffer, size_t capacity, size_t* got) {
    return body->read(buffer, capacity, got);
  };
  return containerEncodeToFile(binary_patch, source, outputPath);
}

}  // namespace quor
