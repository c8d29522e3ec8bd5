#include "update/request_pump.h"

#include "platform/sleep.h"

namespace quor {
namespace {

// Steps while the download cap holds requests back, or without a signal.
constexpr uint32_t kPumpPauseMs = 2;
// With a signal, a look at the counter in case a notify was forgotten.
constexpr std::chrono::milliseconds kSignalledCheck{50};

}  // namespace

void runRequestPump(const std::unordered_map<std::string, std::string>& pendingRequests,
                    std::atomic<int32_t>& outstandingRequests, const std::atomic<bool>& stop,
                    UpdateSource& source) {
  runRequestPump(pendingRequests, outstandingRequests, stop, source,
                 [&source](const std::string& name) { source.requestFile(name); });
}

void runRequestPump(const std::unordered_map<std::string, std::string>& pendingRequests,
                    std::atomic<int32_t>& outstandingRequests, const std::atomic<bool>& stop,
                    UpdateSource& source, const RequestSender& send, int32_t limit,
                    WakeSignal* roomMade, const std::function<bool()>& mayOpen) {
  for (const auto& [path, name] : pendingRequests) {
    for (;;) {
      uint64_t seen = roomMade != nullptr ? roomMade->generation() : 0;
      if (stop.load()) return;
      if (!source.mayRequest(kWholeFileRequestWeight)) {
        sleepMs(kPumpPauseMs);  // the cap frees up with time, not with replies
      } else if (outstandingRequests.load() < limit && (!mayOpen || mayOpen())) {
        break;
      } else if (roomMade != nullptr) {
        roomMade->waitFor(seen, kSignalledCheck);
      } else {
        sleepMs(kPumpPauseMs);
      }
    }
    send(name);
    outstandingRequests.fetch_add(1);
  }
}

}  // namespace quor
