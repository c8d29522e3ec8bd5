#include "dataset/update_scope.h"

#include <filesystem>
#include <system_error>

#include "dataset/layout.h"
#include "platform/native_path.h"

namespace quor {

const std::vector<std::string> protectedFolders = {"/saves/", "/server_data/", "/settings/"};

namespace {

constexpr const char* kDataFolder = "/data/";
constexpr const char* kEditorDataFolder = "/editor_data/";

bool contains(const std::string& path, const char* pattern) {
  return path.find(pattern) != std::string::npos;
}

// The trailing '/' is dropped so that a file named like the folder counts,
// as it does on Windows (POSIX refuses "name/" for a file as not found).
bool somethingExistsAt(std::string location) {
  if (location.size() > 1 && location.back() == '/') location.pop_back();
  std::error_code ec;
  std::filesystem::file_status status = std::filesystem::status(toNativePath(location), ec);
  return status.type() != std::filesystem::file_type::not_found;
}

}  // namespace

const std::vector<std::string>& scopeFolderNames() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> patterns = {kDataFolder, kEditorDataFolder};
    patterns.insert(patterns.end(), protectedFolders.begin(), protectedFolders.end());
    std::vector<std::string> withoutSlashes;
    for (const std::string& pattern : patterns) {
      withoutSlashes.push_back(pattern.substr(1, pattern.size() - 2));
    }
    return withoutSlashes;
  }();
  return names;
}

bool isInUpdateScopeInAnyCase(const std::string& path, bool full, bool namesIgnoreCase) {
  if (!isInUpdateScope(path, full)) return false;
  if (!namesIgnoreCase) return true;
  std::string small = path;
  for (char& c : small) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return isInUpdateScope(small, full);
}

bool isInUpdateScope(std::string path, bool full) {
  if (contains(path, kDataFolder) && !contains(path, "/data/quor/") &&
      !contains(path, "/data/common/")) {
    return false;
  }
  if (contains(path, "updater.log")) return false;
  if (contains(path, kInstalledVersionFile)) return false;
  if (contains(path, kEditorDataFolder)) return false;
  if (full) return true;
  for (const std::string& folder : protectedFolders) {
    if (path.find(folder) != std::string::npos && somethingExistsAt("." + folder)) return false;
  }
  return true;
}

}  // namespace quor
