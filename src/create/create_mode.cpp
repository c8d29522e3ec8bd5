#include "create/create_mode.h"

#include <algorithm>
#include <ctime>
#include <cstring>
#include <map>
#include <filesystem>
#include <sstream>
#include <string_view>
#include <system_error>

#include "base/encoding.h"
#include "container/container.h"
#include "container/container_writer.h"
#include "create/sign_data_set.h"
#include "dataset/layout.h"
#include "dataset/manifest.h"
#include "dataset/md5.h"
#include "dataset/signing_keys.h"
#include "fs/file_io.h"
#include "fs/file_stream.h"
#include "log/log.h"
#include "patch/block_diff.h"
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

// The whole-file container of content held in memory, written to output.
bool writeHeldContainer(const std::string& output, const Bytes& content) {
  size_t offset = 0;
  ContainerSource source = [&](uint8_t* buffer, size_t capacity, size_t* got) {
    *got = std::min(capacity, content.size() - offset);
    if (*got != 0) std::memcpy(buffer, content.data() + offset, *got);
    offset += *got;
    return Status();
  };
  return !reportFailure(containerEncodeToFile(generic, source, output));
}

// What was published of a file: the checksum and count of its bytes.
struct Published {
  int32_t checksum = 0;
  uint64_t size = 0;
  Sha256Digest sha256{};  // for the signature file
};

// Compresses the file at path into output in one reading, checksumming
// the bytes as they are read, so that manifest and update data agree even
// for a file that changes meanwhile. False when it failed (logged).
bool compressStreamed(const std::string& path, const std::string& output, Published* published) {
  std::unique_ptr<FileSource> input;
  Status opened = FileSource::open(path, &input);
  if (opened.ok() && input->size() > kMaxContainerLength) {
    opened = Status::tooLarge("cannot read " + path + ": larger than 4 GiB");
  }
  if (reportFailure(opened)) {
    logError("failed to read: " + path);
    return false;
  }
  ChecksumBuilder checksum;
  Sha256 sha256;
  bool readFailed = false;
  ContainerSource source = [&](uint8_t* buffer, size_t capacity, size_t* got) {
    Status status = input->read(buffer, capacity, got);
    readFailed = !status.ok();
    checksum.add(buffer, *got);
    sha256.add(buffer, *got);
    published->size += *got;
    return status;
  };
  if (reportFailure(containerEncodeToFile(generic, source, output))) {
    logError((readFailed ? "failed to read: " : "failed to compress: ") + path);
    return false;
  }
  published->checksum = checksum.value();
  published->sha256 = sha256.finish();
  return true;
}

// Writes the patch of old → current to output by the method the memory
// budget allows: the suffix array's in memory, the block index's streamed.
Status writePatch(const Bytes& old, const Bytes& current, uint64_t memoryBudget,
                  const std::string& output) {
  const uint32_t oldLength = static_cast<uint32_t>(old.size());
  const uint32_t newLength = static_cast<uint32_t>(current.size());
  if (chooseDiffMethod(oldLength, newLength, memoryBudget) != DiffMethod::kSuffixArray) {
    return blockDiffToFile(old.data(), oldLength, current.data(), newLength, memoryBudget,
                           output);
  }
  std::ostringstream patch;
  Status made = bsdiff(old.data(), oldLength, current.data(), newLength, patch);
  if (!made.ok()) return made;
  std::string_view bytes = patch.view();
  return writeFileAtomically(output, reinterpret_cast<const uint8_t*>(bytes.data()),
                             bytes.size());
}

// Makes oldPath's patch to current as fileNumber.patch. Returns the old
// file's checksum as the patch base, or 0 when no patch was made (the file
// is then offered whole only, which is not an error).
uint32_t makePatch(const std::string& path, const std::string& oldPath, const Bytes& current,
                   uint32_t fileNumber, uint64_t memoryBudget) {
  Bytes old;
  if (!readWholeFile(oldPath, &old).ok() || old.empty()) {
    logError("failed to read old file, or file is empty: " + oldPath);
    return 0;
  }
  // A patch that cannot be made is no failure of the data set: the file is
  // offered whole.
  if (reportFailure(
          writePatch(old, current, memoryBudget, outputPath(patchFileName(fileNumber))))) {
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

uint64_t sizeOf(const std::string& path) {
  std::error_code ec;
  uintmax_t size = fs::file_size(toNativePath(path), ec);
  return ec ? 0 : size;
}

struct Counters {
  uint32_t fileNumber = 0;
  uint32_t written = 0;
  uint32_t patches = 0;
  uint32_t processed = 0;
};

// What every file is published against.
struct Publication {
  const DataSet& oldSet;
  const std::string& oldFolder;
  uint64_t patchMemoryBudget;
  Manifest& manifest;
  Counters& counters;
  // What each manifest path's file holds, for the signature file.
  std::map<std::string, SignedFile>& signedFiles;
};

// Whether the file gets a patch against its old copy: it changed since the
// old build, and some diff method fits the memory budget (a line says so
// when none does).
bool patchWanted(const std::string& path, int32_t scannedChecksum, uint64_t size,
                 const Publication& publication) {
  if (publication.oldFolder.empty()) return false;
  std::string oldPath = oldPathOf(publication.oldFolder, path);
  auto old = publication.oldSet.find(oldPath);
  if (old == publication.oldSet.end() || old->second == scannedChecksum) return false;
  if (chooseDiffMethod(sizeOf(oldPath), size, publication.patchMemoryBudget) ==
      DiffMethod::kNone) {
    logLine("file too large to patch within memory, published whole: " + path);
    return false;
  }
  return true;
}

// Publishes a file read whole into memory, as a patch needs it: its
// container, and its patch when it differs from the old copy (*base is
// then the patch base). A file that memory cannot hold is streamed whole
// instead. False when the file could not be published (logged).
bool publishHeld(const std::string& path, const std::string& output,
                 const Publication& publication, Published* published, uint32_t* base) {
  Bytes content;
  Status read = readWholeFile(path, &content);
  if (read.kind() == Status::Kind::kOutOfMemory) {
    logLine("file too large to patch within memory, published whole: " + path);
    return compressStreamed(path, output, published);
  }
  if (reportFailure(read)) {
    logError("failed to read: " + path);
    return false;
  }
  published->size = content.size();
  if (content.empty()) return true;  // emptied since the scan
  // The checksum of the bytes published, so manifest and update data agree
  // even for a file that changed since the scan.
  published->checksum = bytesChecksum(content.data(), content.size());
  published->sha256 = sha256Of(content.data(), content.size());
  if (!writeHeldContainer(output, content)) {
    logError("failed to compress: " + path);
    return false;
  }
  std::string oldPath = oldPathOf(publication.oldFolder, path);
  if (publication.oldSet.at(oldPath) != published->checksum) {
    *base = makePatch(path, oldPath, content, publication.counters.fileNumber,
                      publication.patchMemoryBudget);
  }
  return true;
}

// Adds one data-set entry to the manifest and writes its update data.
// False when the entry could not be published; the caller then stops.
bool publishFile(const std::string& path, int32_t scannedChecksum,
                 const Publication& publication) {
  Manifest& manifest = publication.manifest;
  Counters& counters = publication.counters;
  std::error_code ec;
  uintmax_t size = fs::file_size(toNativePath(path), ec);
  if (!ec && size == 0) {
    manifest.emptyFiles.push_back(path);
    publication.signedFiles[path] = {0, sha256Of(nullptr, 0)};
    return true;
  }
  std::string output = outputPath(wholeFileName(counters.fileNumber));
  Published published;
  uint32_t base = 0;
  bool held = !ec && patchWanted(path, scannedChecksum, size, publication);
  if (!(held ? publishHeld(path, output, publication, &published, &base)
             : compressStreamed(path, output, &published))) {
    return false;
  }
  publication.signedFiles[path] = {published.size, published.sha256};
  if (published.size == 0) {  // emptied since the scan
    removeFile(output);
    manifest.emptyFiles.push_back(path);
    return true;
  }
  if (base != 0) ++counters.patches;
  manifest.files[path] = {static_cast<uint32_t>(published.checksum), base, counters.fileNumber};
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

// The publisher's key, read before any work so that a wrong --sign file
// costs nothing. False when it cannot be used (logged).
bool loadSigningKey(const SigningRequest* signing, KeyPair* keys) {
  if (signing == nullptr) return true;
  return !reportFailure(readPrivateKeyFile(signing->privateKeyFile, keys));
}

// manifest.sig, when signing was asked for. A data set that should be
// signed but is not is no data set: its manifest goes, so that no server
// offers it.
bool signDataSet(const SigningRequest* signing, const KeyPair& keys,
                 const std::map<std::string, SignedFile>& signedFiles) {
  if (signing == nullptr) return true;
  uint64_t now = static_cast<uint64_t>(std::time(nullptr));
  if (reportFailure(writeSignatureFile(keys, *signing, signedFiles, now))) {
    removeFile(std::string(kUpdateDataFolder) + kManifestName);
    logError("the data set could not be signed: no manifest written");
    return false;
  }
  logLine("Signed: version " + std::to_string(signing->version.value_or(now)) + ", valid for " +
          std::to_string(signing->expiryDays) + " days");
  return true;
}

}  // namespace

bool createUpdateData(const DataSet& dataSet, std::string oldFolder,
                      uint64_t patchMemoryBudget, const SigningRequest* signing) {
  logLine("Creating update data...");
  KeyPair keys;
  if (!loadSigningKey(signing, &keys)) return false;
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
  std::map<std::string, SignedFile> signedFiles;
  Publication publication{oldSet, oldFolder, patchMemoryBudget, manifest, counters, signedFiles};
  for (const auto& [path, scannedChecksum] : dataSet) {
    // A private key left in the build must not reach every player.
    if (path == std::string("./") + kPrivateKeyFile) {
      logLine(std::string("never published: ") + path);
      continue;
    }
    uint32_t processedBefore = counters.processed;
    if (!publishFile(path, scannedChecksum, publication)) {
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
  if (!signDataSet(signing, keys, signedFiles)) return false;
  logLine("... update data done");
  logLine("Written: " + decimalText(counters.written));
  logLine("Patches: " + decimalText(counters.patches));
  logLine("Folders: " + decimalText(static_cast<uint32_t>(manifest.folders.size())));
  logLine("Empty files: " + decimalText(static_cast<uint32_t>(manifest.emptyFiles.size())));
  return true;
}

}  // namespace quor
