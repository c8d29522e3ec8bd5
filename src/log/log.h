// The one log of the program. Callers queue entries; a background writer
// thread appends each entry to the log file and writes it to the console as
// ": " + text + line end, in queue order. Entries with non-zero attributes
// are shown in that console colour.
//
// Every function may be called from any thread at any time. Queueing takes
// one short lock and never waits for file or console output.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace quor {

// Console attributes of logError: bright red.
constexpr int kErrorAttributes = 12;

// Starts the writer thread, names and empties the log file, and queues
// "## Starting log". Called once; later calls only rename the file.
void startLog(const std::string& fileName);

// At most this many bytes of entry text wait in the queue. An entry that
// would go beyond it is dropped and counted, and the writer reports the
// count after the entries before it: a flood of messages (a hostile peer,
// say) must not grow the program's memory without bound.
constexpr size_t kMaxQueuedLogBytes = size_t{16} << 20;

// Control characters in a text (as a name a peer sent may hold) are
// written as \xNN, all but a newline that ends it, so no text can forge a
// line of its own or drive the terminal. A log file that reaches 64 MiB
// is moved to its name + ".1" and started anew.
//
// Queues one entry; never waits for it to be written. The writer takes it
// within 64 ms (4 ms while it is busy).
void logLine(const std::string& text, int attributes = 0);

// Queues "#### ERROR \n" + text + "\n####" in bright red.
void logError(const std::string& text);

// Logs text as logError does, unless lines of its kind come too often: of
// each kind, the first 20 in 5 s are logged and the rest counted, and
// the count is logged in one line once the 5 s have passed, or at
// flushLog ("|||| N more lines like this one in 5 s were left out: " and
// the last of them). For lines a peer can cause at will: kind names the
// line and the peer, so one flooding peer cannot hide another's lines.
void logRepeatableError(const std::string& kind, const std::string& text);

// Waits until every entry queued before the call has been written (at most
// a few seconds, so a stalled console cannot hang the exit). Does nothing
// before startLog. Every exit of the program calls it first.
void flushLog();

// The event stream (log/event_stream.h): from the call on, the writer also
// writes every record to out as a JSON line ({"event":"log",...}), and the
// lines queued with queueEvent, in queue order; with consoleToError the
// console records go to standard error, leaving standard output to the
// stream. out stays open until the program ends. Call once, before the
// mode starts.
void attachEventStream(std::FILE* out, bool consoleToError);

// Queues one event, a JSON object serialized on one line, for the event
// stream; nothing when none is attached. Counts against the same queue
// limit as the records.
void queueEvent(std::string line);
bool eventStreamAttached();

// Whether a status line would be shown: standard output is a terminal (a
// console window on Windows). One system call.
bool statusLineVisible();

// The status line is cut to this many bytes (and to the terminal's width).
constexpr size_t kMaxStatusLineBytes = 200;

// Replaces the status line's text; the writer draws it within a few
// milliseconds. Does nothing before startLog or when standard output is no
// terminal. An empty text removes the line.
void setStatusLine(const std::string& text);

// Removes the status line and returns once the writer has blanked it (at
// most about a second), so that whatever the program prints next starts
// on a clean line.
void clearStatusLine();

}  // namespace quor
