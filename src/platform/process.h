// Starting another program without waiting for it.
#pragma once

#include <string>

namespace quor {

// Starts the program named by the first word of the command line with the
// other words as its arguments, in a console of its own on Windows. Never
// waits. When the program cannot be started, prints
// "CreateProcess failed (<error number>).\n" to standard output.
// Elsewhere than Windows the line is split at spaces, and a program named
// without a '/' is taken from the current folder, as Windows does.
void startProcess(const std::string& commandLine);

}  // namespace quor
