// Whether an entry of the file system is a link: a name that stands for
// another place. The update treats a link as an opaque entry: it never
// lists what is behind one, and never writes or deletes through one
// (fs/file_utils.h, fs/link_finder.h).
#pragma once

#include <filesystem>

namespace quor {

// True when the entry at path is itself a link, without following it: a
// symbolic link (to a folder, a file or nothing) on every platform and, on
// Windows, any reparse point that names another place (a directory
// junction, a mount point, a symbolic link). Reparse points that do not
// (cloud placeholders, deduplicated files) are the files and folders they
// look like. False when nothing is there or the query fails: a path that
// cannot be queried cannot be written through either. One system call on
// POSIX, one or two on Windows. Safe on any thread.
bool isLink(const std::filesystem::path& path);

}  // namespace quor
