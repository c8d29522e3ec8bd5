// The updater's event stream for launchers (--progress-json TARGET): one
// JSON object per line, each with "event" naming what happened. Every log
// record also comes as a "log" event, in order with the others, so a
// launcher needs nothing but the stream. The fields of every event, and
// the rule that a field is only ever added (with a new "stream" version
// in the "start" event), never renamed: docs/progress-stream.md.
//
// Events go through the log's writer thread (log/log.h): emitting costs
// one serialization on the caller's thread and never waits for output.
// Any thread may emit.
#pragma once

#include <nlohmann/json.hpp>

#include <string>

#include "base/status.h"

namespace quor {

inline constexpr int kEventStreamVersion = 1;

// Opens target, "-" for standard output (the console text then goes to
// standard error), "fd:N" for an output the parent handed down
// (platform/inherited_stream.h), or a file, created or appended to, and
// attaches it to the log. Call once, before startLog, so that the stream holds every record.
Status openEventStream(const std::string& target);

// The file target names; "" for "-", "fd:N" and none.
std::string eventStreamFile(const std::string& target);

// Emits {"event": name, ...fields}; nothing when no stream is open. Text
// that is not UTF-8 has its bad bytes replaced.
void emitEvent(const char* name, nlohmann::json fields = nlohmann::json::object());

}  // namespace quor
