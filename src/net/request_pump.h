// The request pump: sends the update run's file requests while keeping at
// most 11 of them unanswered.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace quor {

constexpr int32_t kMaxOutstandingRequests = 11;

// For each entry of pendingRequests (path → request name such as
// "17.patch"), in the map's iteration order: wait in 2 ms steps while more
// than 10 requests are outstanding, send a FileRequest for the name,
// increment outstandingRequests, pause 2 ms. The update run decrements the
// counter once it is done with a request: when it takes the reply, or for a
// patch, whose slot a whole-file request may take over, once the patch's
// outcome is known. An entry counts as sent even when no
// peer was there to send it to. Returns early, without sending more, once
// stop is set.
void runRequestPump(const std::unordered_map<std::string, std::string>& pendingRequests,
                    std::atomic<int32_t>& outstandingRequests, const std::atomic<bool>& stop);

}  // namespace quor
