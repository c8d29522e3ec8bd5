#include "update/safe_paths.h"

#include <cctype>
#include <string>

#include "dataset/layout.h"
#include "dataset/update_scope.h"
#include "log/log.h"

namespace quor {

namespace {

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

bool isDeviceName(std::string_view component) {
  std::string base = upper(component.substr(0, component.find('.')));
  if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL") return true;
  return base.size() == 4 && (base.starts_with("COM") || base.starts_with("LPT")) &&
         base[3] >= '1' && base[3] <= '9';
}

bool isHexDigits(std::string_view text) {
  for (char c : text) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

// The part before "~digits" of a component in the form of a Windows short
// name: at most eight characters before an extension of at most three,
// ending in '~' and digits. Empty for any other component.
std::string_view shortNameStem(std::string_view component) {
  size_t dot = component.rfind('.');
  std::string_view base = component.substr(0, dot);
  if (dot != std::string_view::npos && component.size() - dot - 1 > 3) return {};
  size_t tilde = base.rfind('~');
  if (base.size() > 8 || tilde == std::string_view::npos || tilde == 0 ||
      tilde + 1 == base.size()) {
    return {};
  }
  for (char c : base.substr(tilde + 1)) {
    if (c < '0' || c > '9') return {};
  }
  return base.substr(0, tilde);
}

// Windows knows a long name by a short alias too: its first characters in
// capitals, at most six, and "~N" ("EDITOR~1" for "editor_data"), or, once
// several names share those, its first two, four hex digits and "~N".
bool couldBeShortAliasOf(std::string_view stem, const std::string& name) {
  std::string upperStem = upper(stem);
  std::string upperName = upper(name);
  if (upperName.starts_with(upperStem)) return true;
  return upperStem.size() == 6 && upperName.starts_with(upperStem.substr(0, 2)) &&
         isHexDigits(upperStem.substr(2));
}

// A short alias that could reach a folder the update scope singles out
// would slip past its rules. Other names with '~' are game files.
bool couldReachScopeFolder(std::string_view component) {
  std::string_view stem = shortNameStem(component);
  if (stem.empty()) return false;
  for (const std::string& name : scopeFolderNames()) {
    if (couldBeShortAliasOf(stem, name)) return true;
  }
  return false;
}

bool isPlainComponent(std::string_view component) {
  if (component.empty() || component == "." || component == "..") return false;
  if (component.back() == '.' || component.back() == ' ') return false;
  return !isDeviceName(component) && !couldReachScopeFolder(component);
}

}  // namespace

bool isSafeManifestPath(std::string_view path) {
  // The update keeps its downloads there; a manifest entry must not.
  if (isStagingPath("./", path)) return false;
  if (path.substr(0, 2) != "./" || path.size() == 2) return false;
  if (path.find_first_of(std::string_view("\\:\0", 3)) != std::string_view::npos) return false;
  std::string_view rest = path.substr(2);
  while (true) {
    size_t slash = rest.find('/');
    if (!isPlainComponent(rest.substr(0, slash))) return false;
    if (slash == std::string_view::npos) return true;
    rest = rest.substr(slash + 1);
  }
}

namespace {

void refuse(const std::string& path) {
  logError("unsafe path in manifest, skipped: " + path);
}

size_t dropUnsafe(std::vector<std::string>& paths) {
  size_t before = paths.size();
  std::erase_if(paths, [](const std::string& path) {
    if (isSafeManifestPath(path)) return false;
    refuse(path);
    return true;
  });
  return before - paths.size();
}

}  // namespace

size_t dropUnsafeManifestPaths(Manifest& manifest) {
  size_t dropped = dropUnsafe(manifest.folders) + dropUnsafe(manifest.emptyFiles);
  for (auto it = manifest.files.begin(); it != manifest.files.end();) {
    if (isSafeManifestPath(it->first)) {
      ++it;
    } else {
      refuse(it->first);
      it = manifest.files.erase(it);
      ++dropped;
    }
  }
  return dropped;
}

}  // namespace quor
