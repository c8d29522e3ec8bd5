#include "net/request_pump.h"

#include "net/network_client.h"
#include "platform/sleep.h"

namespace quor {
namespace {

constexpr uint32_t kPumpPauseMs = 2;

}  // namespace

void runRequestPump(const std::unordered_map<std::string, std::string>& pendingRequests,
                    std::atomic<int32_t>& outstandingRequests, const std::atomic<bool>& stop) {
  runRequestPump(pendingRequests, outstandingRequests, stop,
                 [](const std::string& name) { sendFileRequest(name); });
}

void runRequestPump(const std::unordered_map<std::string, std::string>& pendingRequests,
                    std::atomic<int32_t>& outstandingRequests, const std::atomic<bool>& stop,
                    const RequestSender& send) {
  for (const auto& [path, name] : pendingRequests) {
    while ((outstandingRequests.load() >= kMaxOutstandingRequests ||
            !requestAllowed(kWholeFileWeight)) &&
           !stop.load()) {
      sleepMs(kPumpPauseMs);
    }
    if (stop.load()) return;
    send(name);
    outstandingRequests.fetch_add(1);
    sleepMs(kPumpPauseMs);
  }
}

}  // namespace quor
