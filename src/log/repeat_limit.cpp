#include "log/repeat_limit.h"

namespace quor {
namespace {

// Where the kinds beyond kMaxKinds are counted together.
const char* const kManyKinds = "\x01many kinds";

}  // namespace

bool RepeatLimit::admit(const std::string& kind, const std::string& text, Clock::time_point now) {
  auto found = kinds_.find(kind);
  if (found == kinds_.end()) {
    const std::string& key = kinds_.size() < kMaxKinds ? kind : kManyKinds;
    found = kinds_.try_emplace(key, Kind{now, 0, {}}).first;
  }
  Kind& entry = found->second;
  if (entry.passed < kBurst) {
    ++entry.passed;
    return true;
  }
  if (entry.leftOut.leftOut++ == 0) ++kindsLeavingOut_;
  entry.leftOut.lastText = text;
  return false;
}

std::vector<RepeatLimit::Summary> RepeatLimit::takeEnded(Clock::time_point now, bool all) {
  std::vector<Summary> ended;
  for (auto entry = kinds_.begin(); entry != kinds_.end();) {
    if (!all && now - entry->second.since < kInterval) {
      ++entry;
      continue;
    }
    if (entry->second.leftOut.leftOut != 0) {
      --kindsLeavingOut_;
      ended.push_back(std::move(entry->second.leftOut));
    }
    entry = kinds_.erase(entry);
  }
  return ended;
}

}  // namespace quor
