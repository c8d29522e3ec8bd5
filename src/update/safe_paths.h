// Paths from the server's manifest are untrusted: they name files the
// update deletes, creates and writes. Only plain relative paths inside the
// game folder are acted on.
#pragma once

#include <string_view>

#include "dataset/manifest.h"

namespace quor {

// True for "./" followed by one or more components separated by '/', none
// of them empty, "." or "..", and no backslash, ':' or NUL anywhere, and
// nothing in the update's staging folder (dataset/layout.h).
// Components that Windows would read as another name are refused too: one
// ending in '.' or ' ' (Windows drops those, so "saves." would reach the
// protected "saves"), and the device names CON, PRN, AUX, NUL, COM1-9 and
// LPT1-9, with or without an extension; and a short name ("EDITOR~1",
// "SAVES~2.X", any case) that could stand for a folder the update scope
// singles out (scopeFolderNames). Other names with '~' and digits, such as
// "tex~1.dds", are game files like any other.
bool isSafeManifestPath(std::string_view path);

// Removes every folder, empty file and file entry whose path is not safe,
// with one error line naming each. Returns how many were removed.
size_t dropUnsafeManifestPaths(Manifest& manifest);

}  // namespace quor
