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

std::string_view dataKindSuffix(DataKind kind) {
  switch (kind) {
    case DataKind::kWhole:
      return kWholeSuffix;
    case DataKind::kPatch:
      return kPatchSuffix;
    case DataKind::kZstdWhole:
      return ".zst";
    case DataKind::kSplitPatch:
      return ".zdiff";
    case DataKind::kPatchFrom:
      return ".zfrom";
  }
  return kWholeSuffix;
}

std::string dataFileName(uint32_t fileNumber, DataKind kind) {
  return decimalText(fileNumber) + std::string(dataKindSuffix(kind));
}

std::string taggedPatchName(uint32_t fileNumber, uint32_t base, DataKind kind) {
  static constexpr char kHex[] = "0123456789abcdef";
  std::string tag(kBaseTagLength, '0');
  for (size_t i = 0; i < kBaseTagLength; ++i) tag[kBaseTagLength - 1 - i] = kHex[(base >> (4 * i)) & 0xf];
  return decimalText(fileNumber) + "." + tag + std::string(dataKindSuffix(kind));
}

DataKind dataKindOf(std::string_view name) {
  for (DataKind kind : kAllDataKinds) {
    if (name.ends_with(dataKindSuffix(kind))) return kind;
  }
  return DataKind::kWhole;
}

bool isPatchKind(DataKind kind) {
  return kind == DataKind::kPatch || kind == DataKind::kSplitPatch ||
         kind == DataKind::kPatchFrom;
}

bool isZstdName(std::string_view name) {
  DataKind kind = dataKindOf(name);
  return kind == DataKind::kZstdWhole || kind == DataKind::kSplitPatch ||
         kind == DataKind::kPatchFrom;
}

bool isPatchName(std::string_view name) { return isPatchKind(dataKindOf(name)); }

bool isIndexOnlyName(std::string_view name) {
  if (isZstdName(name)) return true;
  // A classic name is a number, a dot and its kind.
  size_t dot = name.find('.');
  return dot != std::string_view::npos && name.find('.', dot + 1) != std::string_view::npos;
}

namespace {

// small is lowercase.
bool equalIgnoringCase(std::string_view text, std::string_view small) {
  if (text.size() != small.size()) return false;
  for (size_t i = 0; i < text.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != small[i]) return false;
  }
  return true;
}

// True for folder below root (folder relative to it, no '/' at either end)
// and what is in it, in any letter case: on Windows "UPDATER_STAGING" is
// the same folder.
bool isBelowFolder(std::string_view root, std::string_view folder, std::string_view path) {
  if (!path.starts_with(root)) return false;
  std::string_view rest = path.substr(root.size());
  if (!root.empty() && !root.ends_with('/') && !rest.starts_with('/')) return false;
  if (rest.starts_with('/')) rest.remove_prefix(1);
  if (!equalIgnoringCase(rest.substr(0, folder.size()), folder)) return false;
  return rest.size() == folder.size() || rest[folder.size()] == '/';
}

}  // namespace

bool isPublicKeyPath(std::string_view path) { return equalIgnoringCase(path, kPublicKeyPath); }

bool isStagingPath(std::string_view root, std::string_view path) {
  return isBelowFolder(root, kStagingFolderName, path);
}

bool isReleasesPath(std::string_view root, std::string_view path) {
  std::string_view folder = kReleasesFolder;
  folder.remove_suffix(1);  // its '/'
  return isBelowFolder(root, folder, path);
}

bool isReleaseId(std::string_view text) {
  if (text.size() != kReleaseIdLength) return false;
  for (char c : text) {
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
  }
  return true;
}

}  // namespace quor
