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
// protected "saves"), and the device names CON, PRN, AUX, NUL, CONIN$,
// CONOUT$, COM0-9 and LPT0-9, COM and LPT with a superscript 1, 2 or 3,
// with or without spaces and an extension after them ("CON .txt"); and a short name ("EDITOR~1",
// "SAVES~2.X", "UPDATE~1.VER", any case) that could stand for a folder the
// update scope singles out (scopeFolderNames) or for the updater's own
// updater_staging, updater.version, updater.log or updater.key. Other
// names with '~' and digits, such as "tex~1.dds", are game files like any
// other. So are letters that a case-folding file system reads as ASCII
// ones (long s, Kelvin sign, the Latin ligatures), which the case rule of
// the update scope would not see.
bool isSafeManifestPath(std::string_view path);

// Removes every folder, empty file and file entry whose path is not safe,
// with one error line naming each, and then every entry whose path is a
// link of the game folder or passes through one (fs/link_finder.h), with
// one error line for each such link: a link is left as it is, and nothing
// is written or deleted behind it. Returns how many were removed. Costs
// one status query for each of the manifest's folders and paths.
size_t dropUnsafeManifestPaths(Manifest& manifest);

}  // namespace quor
