#include "create/create_mode.h"

#include <filesystem>
#include <sstream>
#include <system_error>

#include "base/encoding.h"
#include "container/container.h"
#include "dataset/layout.h"
#include "dataset/manifest.h"
#include "dataset/md5.h"
#include "fs/file_io.h"
#include "log/log.h"
#include "patch/diff.h"
#include "platform/native_path.h"

namespace quor {
namespace {

namespace fs = std::filesystem;

std::string outputPath(const std::string& name) { return kUpdateDataFolder + name; }

// Creates the output folder inside an existing "server_data/".
bool createOutputFolder() {
  std::error_code ec;
  if (!fs::is_directory("server_data", ec)) {
    logError("server_data/ not found: create mode writes into server_data/update_data/ and "
             "needs the folder server_data/ in the current folder");
    return false;
  }
  fs::create_directory(kUpdateDataFolder, ec);
  if (ec) {
    logError(std::string("cannot create folder ") + kUpdateDataFolder + ": " + ec.message());
    return false;
  }
  return true;
}

// Logs a failed operation; true when there was one.
bool reportFailure(const Status& status) {
  if (status.ok()) return false;
  logError(status.message());
  return true;
}

// Writes one container of the given type holding data to path.
bool writeContainer(const std::string& path, uint32_t type, const Bytes& data) {
  std::ostringstream container;
  if (reportFailure(containerEncode(type, data.data(), static_cast<uint32_t>(data.size()),
                                    container))) {
    return false;
  }
  std::string bytes = container.str();
  return !reportFailure(writeFileAtomically(path, reinterpret_cast<const uint8_t*>(bytes.data()),
                                            bytes.size()));
}

// Makes oldPath's patch to current as fileNumber.patch. Returns the old
// file's checksum as the patch base, or 0 when no patch was made (the file
// is then offered whole only, which is not an error).
uint32_t makePatch(const std::string& path, const std::string& oldPath, const Bytes& current,
                   uint32_t fileNumber) {
  Bytes old;
  if (!readWholeFile(oldPath, &old).ok() || old.empty()) {
    logError("failed to read old file, or file is empty: " + oldPath);
    return 0;
  }
  std::ostringstream patch;
  Status made = bsdiff(old.data(), static_cast<uint32_t>(old.size()), current.data(),
                       static_cast<uint32_t>(current.size()), patch);
  // A patch that cannot be made is no failure of the data set: the file is
  // offered whole.
  if (reportFailure(made)) {
    logError("failed to create patch: " + path);
    return 0;
  }
  std::string bytes = patch.str();
  if (reportFailure(writeFileAtomically(outputPath(patchFileName(fileNumber)),
                                        reinterpret_cast<const uint8_t*>(bytes.data()),
                                        bytes.size()))) {
    logError("failed to create patch: " + path);
    return 0;
  }
  // The base is the checksum of the bytes the patch was made from.
  return static_cast<uint32_t>(bytesChecksum(old.data(), old.size()));
}

// Old path of a file: the old folder and the path without its leading ".".
std::string oldPathOf(const std::string& oldFolder, const std::string& path) {
  return oldFolder + path.substr(1);
}

struct Counters {
  uint32_t fileNumber = 0;
  uint32_t written = 0;
  uint32_t patches = 0;
  uint32_t processed = 0;
};

// Adds one data-set entry to the manifest and writes its update data.
// False when the entry could not be published; the caller then stops.
bool publishFile(const std::string& path, const DataSet& oldSet,
                 const std::string& oldFolder, Manifest& manifest, Counters& counters) {
  std::error_code ec;
  uintmax_t size = fs::file_size(toNativePath(path), ec);
  if (!ec && size == 0) {
    manifest.emptyFiles.push_back(path);
    return true;
  }
  Bytes content;
  if (reportFailure(readWholeFile(path, &content))) {
    logError("failed to read: " + path);
    return false;
  }
  if (content.empty()) {  // emptied since the scan
    manifest.emptyFiles.push_back(path);
    return true;
  }
  // The checksum of the bytes published, so manifest and update data agree
  // even for a file that changed since the scan.
  int32_t checksum = bytesChecksum(content.data(), content.size());
  if (!writeContainer(outputPath(wholeFileName(counters.fileNumber)), generic, content)) {
    logError("failed to compress: " + path);
    return false;
  }
  uint32_t base = 0;
  std::string oldPath = oldPathOf(oldFolder, path);
  auto old = oldSet.find(oldPath);
  if (!oldFolder.empty() && old != oldSet.end() && old->second != checksum) {
    base = makePatch(path, oldPath, content, counters.fileNumber);
    if (base != 0) ++counters.patches;
  }
  manifest.files[path] = {static_cast<uint32_t>(checksum), base, counters.fileNumber};
  ++counters.fileNumber;
  ++counters.written;
  ++counters.processed;
  return true;
}

bool writeManifestFile(const Manifest& manifest) {
  Bytes bytes = encodeManifest(manifest);
  return !reportFailure(writeFileAtomically(std::string(kUpdateDataFolder) + kManifestName,
                                            bytes.data(), bytes.size()));
}

}  // namespace

bool createUpdateData(const DataSet& dataSet, std::string oldFolder) {
  logLine("Creating update data...");
  DataSet oldSet;
  if (!oldFolder.empty()) {
    logLine("Using old data for patch from: " + oldFolder);
    Status scanned;
    oldSet = scanDataSet(oldFolder, &scanned);
    if (reportFailure(scanned)) return false;
  }
  Manifest manifest;
  manifest.datasetChecksum = datasetChecksum();
  logLine("-- dataset checksum: " + decimalText(manifest.datasetChecksum));
  if (!createOutputFolder()) return false;

  uint32_t entries = static_cast<uint32_t>(dataSet.size());
  uint32_t interval = entries / 20 + 1;
  Counters counters;
  for (const auto& entry : dataSet) {
    const std::string& path = entry.first;
    uint32_t processedBefore = counters.processed;
    if (!publishFile(path, oldSet, oldFolder, manifest, counters)) {
      logError("update data is incomplete: no manifest written");
      return false;
    }
    if (counters.processed != processedBefore && counters.processed % interval == 0) {
      logLine(percentText(static_cast<float>(counters.processed) / static_cast<float>(entries)));
    }
  }

  Status listed = listFoldersRecursive("./", &manifest.folders);
  std::erase_if(manifest.folders, [](const std::string& folder) {
    return isStagingPath("./", folder);
  });
  if (reportFailure(listed)) {
    logError("update data is incomplete: no manifest written");
    return false;
  }
  if (!writeManifestFile(manifest)) return false;
  logLine("... update data done");
  logLine("Written: " + decimalText(counters.written));
  logLine("Patches: " + decimalText(counters.patches));
  logLine("Folders: " + decimalText(static_cast<uint32_t>(manifest.folders.size())));
  logLine("Empty files: " + decimalText(static_cast<uint32_t>(manifest.emptyFiles.size())));
  return true;
}

}  // namespace quor
