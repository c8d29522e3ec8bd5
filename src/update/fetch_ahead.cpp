#include "update/fetch_ahead.h"

#include <algorithm>
#include <utility>

namespace quor {
namespace {

size_t countOf(const std::unordered_map<std::string, std::vector<uint64_t>>& table) {
  size_t count = 0;
  for (const auto& entry : table) count += entry.second.size();
  return count;
}

// Removes offset from the offsets of name in table; true when it was there.
bool takeOut(std::unordered_map<std::string, std::vector<uint64_t>>& table,
             const std::string& name, uint64_t offset) {
  auto found = table.find(name);
  if (found == table.end()) return false;
  std::vector<uint64_t>& offsets = found->second;
  auto at = std::find(offsets.begin(), offsets.end(), offset);
  if (at == offsets.end()) return false;
  offsets.erase(at);
  if (offsets.empty()) table.erase(found);
  return true;
}

}  // namespace

void FetchAhead::arm(std::unordered_set<std::string> names, uint32_t pieceSize,
                     uint64_t maxFileSize) {
  names_ = std::move(names);
  pieceSize_ = pieceSize;
  maxFileSize_ = maxFileSize;
  asked_.clear();
  abandoned_.clear();
}

std::vector<uint64_t> FetchAhead::wanted(const std::string& name, uint64_t offset,
                                         uint64_t fileSize) {
  if (offset != 0 || pieceSize_ == 0 || fileSize <= pieceSize_ || fileSize > maxFileSize_ ||
      asked_.contains(name) || !names_.contains(name)) {
    return {};
  }
  uint64_t rest = (fileSize - 1) / pieceSize_;  // pieces after the first
  const std::vector<uint64_t>* onTheirWay = nullptr;
  if (auto abandoned = abandoned_.find(name); abandoned != abandoned_.end()) {
    onTheirWay = &abandoned->second;
  }
  std::vector<uint64_t> toAsk;
  std::vector<uint64_t> takenOver;
  for (uint64_t piece = 1; piece <= rest; ++piece) {
    uint64_t at = piece * pieceSize_;
    bool coming = onTheirWay != nullptr &&
                  std::find(onTheirWay->begin(), onTheirWay->end(), at) != onTheirWay->end();
    (coming ? takenOver : toAsk).push_back(at);
  }
  // Those taken over are counted already.
  if (unclaimed() + toAsk.size() > kAheadPieces) return {};
  for (uint64_t at : takenOver) takeOut(abandoned_, name, at);
  if (!takenOver.empty()) asked_[name] = std::move(takenOver);
  return toAsk;
}

void FetchAhead::noteAsked(const std::string& name, const std::vector<uint64_t>& offsets) {
  if (offsets.empty()) return;
  std::vector<uint64_t>& asked = asked_[name];
  asked.insert(asked.end(), offsets.begin(), offsets.end());
}

std::vector<uint64_t> FetchAhead::claim(const std::string& name) {
  auto found = asked_.find(name);
  if (found == asked_.end()) return {};
  std::vector<uint64_t> offsets = std::move(found->second);
  asked_.erase(found);
  return offsets;
}

void FetchAhead::forget(const std::string& name, const std::function<bool(uint64_t)>& arrived) {
  std::vector<uint64_t> offsets = claim(name);
  std::erase_if(offsets, arrived);
  if (offsets.empty()) return;
  std::vector<uint64_t>& abandoned = abandoned_[name];
  abandoned.insert(abandoned.end(), offsets.begin(), offsets.end());
}

bool FetchAhead::dropsArrival(const std::string& name, uint64_t offset) {
  return takeOut(abandoned_, name, offset);
}

size_t FetchAhead::unclaimed() const { return countOf(asked_) + countOf(abandoned_); }

}  // namespace quor
