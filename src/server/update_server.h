// The update server: hands the update data folder to the updaters over
// ENet. It answers, on the file update channel, a ManifestRequest with a
// FileReply named "manifest.manifest" and a FileRequest with a FileReply
// that carries the requested name unchanged and that file's bytes. A name
// that is not a servable file of the folder (served_files.h) gets a reply
// with no content. A RangeHello gets a RangeOffer and a FileRangeRequest a
// FileRangeReply (range_replies.h). Every reply, in request order, is paced
// per peer by the ReplyScheduler. A request that its queues have no room
// for is answered at once: a FileRangeReply with kRangeStatusBusy, or a
// FileReply without content.
//
// It logs through the program log: its start ("Update server listening on
// port N"), every connect and disconnect, every whole-file reply, the first
// piece of every file served in ranges, and every request it refuses or
// drops.
//
// Everything runs on the thread that calls runUpdateServer, ENet's
// callbacks included; stop may be set from any thread or a signal handler.
#pragma once

#include <atomic>

#include "server/server_metrics.h"
#include "server/server_options.h"

namespace quor {

// Serves until stop is set, then disconnects every peer. Returns the
// process exit code: 0 after a stop, 1 when the folder is missing or the
// port cannot be bound.
// metrics: what it counts for the operators' endpoint (server_metrics.h),
// updated on this thread as it serves.
int runUpdateServer(const ServerOptions& options, const std::atomic<bool>& stop,
                    ServerMetrics& metrics);

}  // namespace quor
