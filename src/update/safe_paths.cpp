#include "update/safe_paths.h"

#include <cctype>
#include <map>
#include <string>
#include <vector>

#include "dataset/layout.h"
#include "dataset/update_scope.h"
#include "fs/link_finder.h"
#include "log/log.h"

namespace quor {

namespace {

std::string upper(std::string_view text) {
  std::string result(text);
  for (char& c : result) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return result;
}

// Windows reads a device in a name whatever follows its first '.', and
// drops the spaces before it: "CON .txt" is CON. The superscript digits
// (UTF-8 of U+00B9, U+00B2, U+00B3) name ports as well as 0 to 9 do.
bool isDeviceName(std::string_view component) {
  std::string_view base = component.substr(0, component.find('.'));
  while (!base.empty() && base.back() == ' ') base.remove_suffix(1);
  std::string name = upper(base);
  for (const char* device : {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"}) {
    if (name == device) return true;
  }
  if (!name.starts_with("COM") && !name.starts_with("LPT")) return false;
  std::string_view port = std::string_view(name).substr(3);
  if (port.size() == 1) return port[0] >= '0' && port[0] <= '9';
  return port == "\xC2\xB9" || port == "\xC2\xB2" || port == "\xC2\xB3";
}

// Letters that a file system folding case by Unicode's rules (ext4 with
// casefold) reads as ASCII ones: U+017F (long s) as s, U+212A (Kelvin
// sign) as k, and the ligatures U+FB00 to U+FB06 as ff, fi, fl, ffi, ffl,
// st, st. A long s for the first letter of "./saves" would reach the
// player's saves past the case rule of the update scope, which knows ASCII
// letters only.
bool hasLetterFoldingToAscii(std::string_view path) {
  if (path.find("\xC5\xBF") != std::string_view::npos) return true;
  if (path.find("\xE2\x84\xAA") != std::string_view::npos) return true;
  for (size_t at = path.find("\xEF\xAC"); at != std::string_view::npos;
       at = path.find("\xEF\xAC", at + 1)) {
    unsigned char last = at + 2 < path.size() ? static_cast<unsigned char>(path[at + 2]) : 0;
    if (last >= 0x80 && last <= 0x86) return true;
  }
  return false;
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

// The names a short alias must not reach: the folders the update scope
// singles out, and the updater's own files and folder, whose rules would
// not see the alias ("UPDATE~1.VER" for updater.version, "UPDATE~1" for
// updater_staging).
const std::vector<std::string>& namesWithoutAliases() {
  static const std::vector<std::string> names = [] {
    std::vector<std::string> list = scopeFolderNames();
    for (const char* own : {kStagingFolderName, kInstalledVersionFile, kLogFile, kPublicKeyFile}) {
      list.push_back(own);
    }
    return list;
  }();
  return names;
}

// A short alias that could reach one of those names would slip past their
// rules. Other names with '~' are game files.
bool couldReachSingledOutName(std::string_view component) {
  std::string_view stem = shortNameStem(component);
  if (stem.empty()) return false;
  for (const std::string& name : namesWithoutAliases()) {
    if (couldBeShortAliasOf(stem, name)) return true;
  }
  return false;
}

bool isPlainComponent(std::string_view component) {
  if (component.empty() || component == "." || component == "..") return false;
  if (component.back() == '.' || component.back() == ' ') return false;
  return !isDeviceName(component) && !couldReachSingledOutName(component);
}

}  // namespace

bool isSafeManifestPath(std::string_view path) {
  // The update keeps its downloads there; a manifest entry must not.
  if (isStagingPath("./", path)) return false;
  if (path.substr(0, 2) != "./" || path.size() == 2) return false;
  if (path.find_first_of(std::string_view("\\:\0", 3)) != std::string_view::npos) return false;
  if (hasLetterFoldingToAscii(path)) return false;
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

// One line per link rather than per entry: a moved folder of a thousand
// files is one finding.
size_t dropPathsThroughLinks(Manifest& manifest) {
  LinkFinder finder;
  std::map<std::string, size_t> skippedPerLink;
  auto throughLink = [&finder, &skippedPerLink](const std::string& path) {
    std::string link = finder.linkOn(path);
    if (link.empty()) return false;
    ++skippedPerLink[link];
    return true;
  };
  size_t dropped = 0;
  for (std::vector<std::string>* paths : {&manifest.folders, &manifest.emptyFiles}) {
    dropped += std::erase_if(*paths, throughLink);
  }
  dropped += std::erase_if(manifest.files,
                           [&throughLink](const auto& entry) { return throughLink(entry.first); });
  for (const auto& [link, count] : skippedPerLink) {
    logError("a link in the game folder is left as it is: " + link +
             " (manifest entries at or behind it skipped: " + std::to_string(count) + ")");
  }
  return dropped;
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
  return dropped + dropPathsThroughLinks(manifest);
}

}  // namespace quor
