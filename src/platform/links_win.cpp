#include "platform/links.h"

#include <windows.h>

namespace quor {

// The standard library of mingw-w64 does not report junctions as links,
// so the attributes are asked directly. Only a reparse point's tag tells a
// junction from a cloud placeholder; FindFirstFileW returns it in
// dwReserved0.
bool isLink(const std::filesystem::path& path) {
  DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return false;
  WIN32_FIND_DATAW found;
  HANDLE search = FindFirstFileW(path.c_str(), &found);
  // A reparse point of a kind that cannot be told is taken for a link:
  // left alone rather than followed.
  if (search == INVALID_HANDLE_VALUE) return true;
  FindClose(search);
  return IsReparseTagNameSurrogate(found.dwReserved0);
}

}  // namespace quor
