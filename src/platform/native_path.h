// The one place where the program's paths meet the file system's names.
// Every path held in a std::string is UTF-8, on every platform. On POSIX
// the file system's names are bytes, taken as they are. On Windows they are
// UTF-16, while the C runtime's narrow calls (fopen, rename, remove) and the
// standard library's std::string paths use the ANSI code page or the C
// locale: a name that is not ASCII would be listed under one name and
// opened under another. So every file-system call goes through these.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace quor {

// The file system's name for a UTF-8 path. On Windows each malformed
// sequence in the text becomes U+FFFD. Never throws.
std::filesystem::path toNativePath(const std::string& path);

// The UTF-8 text of a file system's name, as listings return it. On
// Windows, UTF-16 that no UTF-8 can hold (an unpaired surrogate) comes back
// with U+FFFD in its place. Never throws.
std::string fromNativePath(const std::filesystem::path& path);

// fopen with a UTF-8 path.
FILE* openFile(const std::string& path, const char* mode);

// std::remove with a UTF-8 path: 0 when the entry was removed.
int removeFile(const std::string& path);

// A path given on the command line, as UTF-8. Windows hands a narrow
// main() its arguments in the ANSI code page.
std::string pathFromArgument(const char* argument);

}  // namespace quor
