#include "dataset/layout.h"

#include "base/encoding.h"

namespace quor {
namespace {

constexpr std::string_view kWholeSuffix = ".compressed";
constexpr std::string_view kPatchSuffix = ".patch";

}  // namespace

std::string wholeFileName(uint32_t fileNumber) {
  return decimalText(fileNumber) + std::string(kWholeSuffix);
}

std::string patchFileName(uint32_t fileNumber) {
  return decimalText(fileNumber) + std::string(kPatchSuffix);
}

bool isPatchName(std::string_view name) { return name.ends_with(kPatchSuffix); }

namespace {

bool equalIgnoringCase(std::string_view text, std::string_view small) {
  if (text.size() != small.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != small[i]) return false;
  }
  return true;
}

}  // namespace

bool isPublicKeyPath(std::string_view path) { return equalIgnoringCase(path, kPublicKeyPath); }

bool isStagingPath(std::string_view root, std::string_view path) {
  if (!path.starts_with(root)) return false;
  std::string_view rest = path.substr(root.size());
  if (!root.empty() && !root.ends_with('/') && !rest.starts_with('/')) return false;
  if (rest.starts_with('/')) rest.remove_prefix(1);
  // Letter case is ignored: on Windows "UPDATER_STAGING" is the same folder.
  std::string_view folder = kStagingFolderName;
  if (!equalIgnoringCase(rest.substr(0, folder.size()), folder)) return false;
  return rest.size() == folder.size() || rest[folder.size()] == '/';
}

}  // namespace quor
