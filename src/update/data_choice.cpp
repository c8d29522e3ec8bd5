#include "update/data_choice.h"

#include <algorithm>

#include "dataset/layout.h"
#include "log/log.h"

namespace quor {
namespace {

std::vector<std::string> classicChoice(const std::string& path, const ManifestEntry& entry,
                                       std::optional<uint32_t> localChecksum) {
  std::vector<std::string> names;
  if (localChecksum && path != kOwnExecutablePath && entry.patchBaseChecksum != 0 &&
      entry.patchBaseChecksum == *localChecksum) {
    names.push_back(patchFileName(entry.fileNumber));
  }
  names.push_back(wholeFileName(entry.fileNumber));
  return names;
}

}  // namespace

std::vector<std::string> dataCandidates(const std::string& path, const ManifestEntry& entry,
                                        std::optional<uint32_t> localChecksum,
                                        const EncodingsIndex* index) {
  if (index == nullptr) return classicChoice(path, entry, localChecksum);
  auto listed = index->files.find(entry.fileNumber);
  if (listed == index->files.end()) return classicChoice(path, entry, localChecksum);
  std::vector<IndexedFile> usable;
  for (const IndexedFile& file : listed->second) {
    bool patch = isPatchKind(file.kind);
    if (patch && (!localChecksum || path == kOwnExecutablePath || file.base != *localChecksum)) {
      continue;
    }
    usable.push_back(file);
  }
  // Patches first: one that applies is smaller than any whole file.
  std::stable_sort(usable.begin(), usable.end(), [](const IndexedFile& a, const IndexedFile& b) {
    bool aPatch = isPatchKind(a.kind), bPatch = isPatchKind(b.kind);
    if (aPatch != bPatch) return aPatch;
    return a.size < b.size;
  });
  std::vector<std::string> names;
  for (const IndexedFile& file : usable) {
    std::string name = indexedFileName(entry.fileNumber, file);
    if (std::find(names.begin(), names.end(), name) == names.end()) names.push_back(name);
  }
  bool anyWhole = std::any_of(usable.begin(), usable.end(),
                              [](const IndexedFile& file) { return !isPatchKind(file.kind); });
  if (!anyWhole) return classicChoice(path, entry, localChecksum);
  return names;
}

std::optional<EncodingsIndex> fetchEncodingsIndex(FileUpdateController& controller,
                                                  UpdateSource& source, const ReplyWait& wait,
                                                  const SignedUpdate* signedUpdate) {
  source.requestFile(kEncodingsIndexName);
  std::optional<ReceivedFile> reply = awaitTaken(
      controller, wait, [&controller] { return controller.takeReceivedFile(kEncodingsIndexName); });
  if (!reply || reply->size == 0 || !reply->data) {
    logLine("No encodings.index on this server; fetching the classic update data");
    return std::nullopt;
  }
  Status usable;
  if (signedUpdate != nullptr) usable = signedUpdate->checkDataBytes(kEncodingsIndexName, *reply->data);
  EncodingsIndex index;
  if (usable.ok()) usable = parseEncodingsIndex(reply->data->data(), reply->data->size(), &index);
  if (!usable.ok()) {
    logError(usable.message() + "; fetching the classic update data");
    return std::nullopt;
  }
  return index;
}

}  // namespace quor
