// A stream on an output the parent process handed down, such as the write
// end of a pipe a launcher made for the updater's events
// (--progress-json fd:N).
//   POSIX:   number is a file descriptor open for writing.
//   Windows: number is a handle value the child inherited (CreateProcess
//            with bInheritHandles), as a launcher prints it in decimal.
// The stream writes bytes as given (no CR LF on Windows) and owns what it
// wraps: fclose closes the descriptor or handle.
#pragma once

#include <cstdint>
#include <cstdio>

namespace quor {

// nullptr when number names nothing open that can be written.
std::FILE* openInheritedStream(uint64_t number);

}  // namespace quor
