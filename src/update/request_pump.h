// The request pump: sends the update run's file requests while keeping at
// most 11 of them unanswered (from a server that offers ranges, 32 files
// open with at most 16 first pieces on their way).
//
// runRequestPump is the body of its own thread, started and joined by
// getUpdates (update/update_run.h). It shares the source's requests
// (update/update_source.h) with the update run's thread, and the counter and stop flag through their
// atomics; pendingRequests must not change while it runs.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>

#include "base/wake_signal.h"
#include "update/update_source.h"

namespace quor {

// Enough requests in flight that the server is never idle while the update
// run applies a reply, and few enough that the replies waiting in the
// controller (each possibly large, all held in memory) stay bounded; the
// controller's table holds a few more than this for stray replies.
constexpr int32_t kMaxOutstandingRequests = 11;

// For each entry of pendingRequests (path → request name such as
// "17.patch"), in the map's iteration order: wait in 2 ms steps while the
// limit is reached or the download cap holds requests back
// (UpdateSource::mayRequest), send a FileRequest for the name and increment
// outstandingRequests. There is no pause between sends: the limit alone
// paces them, and a fixed pause would cap the run at 500 files a second
// whatever the line. The update run decrements the
// counter once it is done with a request: when it takes the reply, or for a
// patch, whose slot a whole-file request may take over, once the patch's
// outcome is known. An entry counts as sent even when no
// peer was there to send it to. Returns early, without sending more, once
// stop is set.
void runRequestPump(const std::unordered_map<std::string, std::string>& pendingRequests,
                    std::atomic<int32_t>& outstandingRequests, const std::atomic<bool>& stop,
                    UpdateSource& source);

// The same with another first request for each name: a range of it, from
// a server that offers ranges, and another limit for the requests open
// (each then brings at most one piece, so more may be open without more
// memory than whole replies). send is called on the pump's thread. When
// roomMade is given, the update run notifies it whenever it decrements the
// counter, and the pump sends as soon as there is room instead of at its
// next 2 ms step; it then looks on its own only every 50 ms, so whoever
// sets stop should notify roomMade too.
// When mayOpen is given, a request is also sent only while it says so;
// roomMade, when given, must then be notified whenever it may turn true.
using RequestSender = std::function<void(const std::string& name)>;
void runRequestPump(const std::unordered_map<std::string, std::string>& pendingRequests,
                    std::atomic<int32_t>& outstandingRequests, const std::atomic<bool>& stop,
                    UpdateSource& source, const RequestSender& send,
                    int32_t limit = kMaxOutstandingRequests, WakeSignal* roomMade = nullptr,
                    const std::function<bool()>& mayOpen = {});

}  // namespace quor
