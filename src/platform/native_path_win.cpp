#include "platform/native_path.h"

#include <windows.h>

#include <climits>
#include <cstring>

namespace quor {

// The standard library's own UTF-8 conversions (char8_t paths, u8string())
// throw on malformed text; these replace it instead, as the system does,
// since manifest paths come from the network. Either way the replacement
// is U+FFFD, so ASCII (separators, dots, colons) passes through unchanged
// and no malformed text can turn into a name that the checks on the UTF-8
// path did not see.
namespace {

// text, encoded in codePage, as UTF-16.
std::wstring toWide(UINT codePage, const std::string& text) {
  if (text.empty() || text.size() > INT_MAX) return {};
  int size = static_cast<int>(text.size());
  int length = MultiByteToWideChar(codePage, 0, text.data(), size, nullptr, 0);
  if (length <= 0) return {};
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), size, wide.data(), length);
  return wide;
}

std::string toUtf8(const std::wstring& wide) {
  if (wide.empty() || wide.size() > INT_MAX) return {};
  int size = static_cast<int>(wide.size());
  int length = WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, nullptr, 0, nullptr, nullptr);
  if (length <= 0) return {};
  std::string text(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), size, text.data(), length, nullptr, nullptr);
  return text;
}

}  // namespace

std::filesystem::path toNativePath(const std::string& path) {
  return std::filesystem::path(toWide(CP_UTF8, path));
}

std::string fromNativePath(const std::filesystem::path& path) { return toUtf8(path.native()); }

FILE* openFile(const std::string& path, const char* mode) {
  std::wstring wideMode(mode, mode + std::strlen(mode));
  return _wfopen(toWide(CP_UTF8, path).c_str(), wideMode.c_str());
}

int removeFile(const std::string& path) { return _wremove(toWide(CP_UTF8, path).c_str()); }

std::string pathFromArgument(const char* argument) { return toUtf8(toWide(CP_ACP, argument)); }

}  // namespace quor
