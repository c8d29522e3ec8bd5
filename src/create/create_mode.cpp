#include "create/create_mode.h"

#include <algorithm>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string_view>
#include <system_error>
#include <thread>
#include <vector>

#include "base/encoding.h"
#include "container/container.h"
#include "container/container_writer.h"
#include "create/deferred_log.h"
#include "create/memory_budget.h"
#include "create/ordered_jobs.h"
#include "create/release_layout.h"
#include "create/sign_data_set.h"
#include "create/zstd_publish.h"
#include "dataset/encodings_index.h"
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
bool reportFailure(const Status& status, DeferredLog& log) {
  if (status.ok()) return false;
  log.error(status.message());
  return true;
}

bool reportFailure(const Status& status) {
  if (status.ok()) return false;
  logError(status.message());
  return true;
}

// The whole-file container of content held in memory, written to output.
bool writeHeldContainer(const std::string& output, const Bytes& content, DeferredLog& log) {
  size_t offset = 0;
  ContainerSource source = [&](uint8_t* buffer, size_t capacity, size_t* got) {
    *got = std::min(capacity, content.size() - offset);
    if (*got != 0) std::memcpy(buffer, content.data() + offset, *got);
    offset += *got;
    return Status();
  };
  return !reportFailure(containerEncodeToFile(generic, source, output), log);
}

// What was published of a file: the checksum and count of its bytes,
// and the update data files made of it.
struct Published {
  int32_t checksum = 0;
  uint64_t size = 0;
  Sha256Digest sha256{};  // for the signature file
  std::vector<IndexedFile> indexed;  // for encodings.index
};

// Takes every byte source supplies without compressing it: the classic
// container's reading when only the second encoding is written.
Status drain(const ContainerSource& source) {
  std::vector<uint8_t> buffer(kContainerPieceSize);
  for (size_t got = 1; got != 0;) {
    if (Status status = source(buffer.data(), buffer.size(), &got); !status.ok()) return status;
  }
  return {};
}

uint64_t sizeOf(const std::string& path);

// A file the zstd encoder fails on (for want of memory, say) is still
// published in the classic encoding, which every updater takes: only a
// data set without it fails.
bool zstdFailureStops(const Status& status, const Encodings& encodings, const std::string& path,
                      DeferredLog& log) {
  if (status.ok()) return false;
  if (!encodings.classic) return true;
  log.line("no zstd encoding of " + path + ": " + status.message());
  return false;
}

// Compresses the file at path into output (and its zstd name) in one
// reading, checksumming the bytes as they are read, so that manifest and
// update data agree even for a file that changes meanwhile. False when it
// failed (logged).
bool compressStreamed(const std::string& path, const std::string& output,
                      const Encodings& encodings, uint32_t fileNumber, Published* published,
                      DeferredLog& log) {
  std::unique_ptr<FileSource> input;
  Status opened = FileSource::open(path, &input);
  if (opened.ok() && input->size() > kMaxContainerLength) {
    opened = Status::tooLarge("cannot read " + path + ": larger than 4 GiB");
  }
  std::unique_ptr<ZstdFileWriter> zstd;
  const std::string zstdOutput = outputPath(dataFileName(fileNumber, DataKind::kZstdWhole));
  if (opened.ok() && encodings.zstd) {
    Status writer = ZstdFileWriter::open(
        zstdOutput, wholeFileSettings(encodings.zstdLevel, input->size()), input->size(), &zstd);
    if (zstdFailureStops(writer, encodings, path, log)) opened = writer;
  }
  if (reportFailure(opened, log)) {
    log.error("failed to read: " + path);
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
    if (status.ok() && zstd) {
      Status added = zstd->add(buffer, *got);
      if (zstdFailureStops(added, encodings, path, log)) return added;
      if (!added.ok()) zstd.reset();  // its unfinished file goes with it
    }
    return status;
  };
  Status compressed = encodings.classic ? containerEncodeToFile(generic, source, output)
                                        : drain(source);
  uint64_t zstdSize = 0;
  if (compressed.ok() && zstd) {
    Status finished = zstd->finish(&zstdSize);
    if (zstdFailureStops(finished, encodings, path, log)) compressed = finished;
    if (!finished.ok()) zstd.reset();
  }
  if (reportFailure(compressed, log)) {
    log.error((readFailed ? "failed to read: " : "failed to compress: ") + path);
    return false;
  }
  published->checksum = checksum.value();
  published->sha256 = sha256.finish();
  if (encodings.classic) published->indexed.push_back({DataKind::kWhole, sizeOf(output), 0});
  if (zstd) published->indexed.push_back({DataKind::kZstdWhole, zstdSize, 0});
  return true;
}

uint64_t sizeOf(const std::string& path) {
  std::error_code ec;
  uintmax_t size = fs::file_size(toNativePath(path), ec);
  return ec ? 0 : size;
}

// The working memory of the diff that memoryBudget allows for files of
// these lengths (beyond the files themselves), or 0 when no method fits.
uint64_t diffMemory(uint64_t oldLength, uint64_t newLength, uint64_t memoryBudget) {
  switch (chooseDiffMethod(oldLength, newLength, memoryBudget)) {
    case DiffMethod::kSuffixArray:
      return bsdiffMemory(oldLength, newLength);
    case DiffMethod::kBlockIndex:
      return blockDiffMemory(oldLength, blockSizeWithin(oldLength, memoryBudget));
    case DiffMethod::kNone:
      break;
  }
  return 0;
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

// The whole files a patch must be smaller than to be published: the
// classic container's size and the zstd file's (0 for one not written).
struct WholeSizes {
  uint64_t classic = 0;
  uint64_t zstd = 0;
};

// The zstd patch of old -> current from the classic patch at patchPath,
// published when it is smaller than the zstd whole file. True when it was.
bool makeZstdPatch(const std::string& path, const std::string& patchPath, const Bytes& old,
                   const Bytes& current, uint32_t fileNumber, uint64_t zstdSize, int level,
                   IndexedFile target, Published* published, DeferredLog& log) {
  Bytes body;
  Status status;
  {
    std::ifstream patchFile(toNativePath(patchPath), std::ios::binary);
    status = containerDecode(binary_patch, patchFile, &body);
  }
  ZstdPatch patch;
  if (status.ok()) status = makeZstdPatch(level, old, current, body, &patch);
  if (!status.ok()) {
    log.line("no zstd patch of " + path + ": " + status.message());
    return false;
  }
  if (patch.bytes.size() >= zstdSize) return false;
  target.kind = patch.kind;
  target.size = patch.bytes.size();
  const std::string output = outputPath(indexedFileName(fileNumber, target));
  if (reportFailure(writeFileAtomically(output, reinterpret_cast<const uint8_t*>(patch.bytes.data()),
                                        patch.bytes.size()),
                    log)) {
    log.error("failed to create the zstd patch: " + path);
    return false;
  }
  published->indexed.push_back(target);
  return true;
}

// Makes oldPath's patch to current as fileNumber.patch, and its zstd
// patch. Returns the old file's checksum as the manifest's patch base, or
// 0 when no classic patch was published (the file is then offered whole,
// which is not an error). A patch no smaller than the file's compressed
// copy of its encoding saves a player nothing: it is not published.
// A tagged patch, from a build older than the first --old, is named by its
// base (dataset/layout.h) and only encodings.index lists it: it is
// published in zstd, or classic when the data set has no zstd.
uint32_t makePatch(const std::string& path, const std::string& oldPath, const Bytes& current,
                   uint32_t fileNumber, WholeSizes whole, uint64_t memoryBudget,
                   const Encodings& encodings, bool tagged, Published* published,
                   DeferredLog& log) {
  Bytes old;
  if (!readWholeFile(oldPath, &old).ok() || old.empty()) {
    log.error("failed to read old file, or file is empty: " + oldPath);
    return 0;
  }
  // The base is the checksum of the bytes the patch was made from.
  const auto base = static_cast<uint32_t>(bytesChecksum(old.data(), old.size()));
  // A patch that cannot be made is no failure of the data set: the file is
  // offered whole. The zstd patch is made from the classic one's records.
  const IndexedFile classic{DataKind::kPatch, 0, base, tagged};
  const std::string patchPath = outputPath(indexedFileName(fileNumber, classic));
  if (reportFailure(writePatch(old, current, memoryBudget, patchPath), log)) {
    log.error("failed to create patch: " + path);
    return 0;
  }
  // The block method streams its patch to the file, so the size is checked
  // on the file, whichever method made it.
  std::error_code ec;
  uint64_t patchSize = fs::file_size(toNativePath(patchPath), ec);
  if (ec) {
    log.error("cannot read the size of " + patchPath + ": " + ec.message());
    log.error("failed to create patch: " + path);
    removeFile(patchPath);
    return 0;
  }
  bool zstdPatch = whole.zstd != 0 && makeZstdPatch(path, patchPath, old, current, fileNumber,
                                                   whole.zstd, encodings.zstdLevel, classic,
                                                   published, log);
  bool classicWanted = encodings.classic && (!tagged || !encodings.zstd);
  bool classicPatch = classicWanted && patchSize < whole.classic;
  if (!classicPatch) {
    removeFile(patchPath);
    if (classicWanted && !tagged) {
      log.line("patch not smaller than the compressed file, published whole: " + path);
    }
  } else {
    published->indexed.push_back({DataKind::kPatch, patchSize, base, tagged});
  }
  // Every updater that reads the manifest alone asks for N.patch when the
  // base is its file's: with the classic files the base says that N.patch
  // is there, and encodings.index alone names the zstd patch's base.
  if (encodings.classic) return classicPatch ? base : 0;
  return zstdPatch ? base : 0;
}

// Old path of a file: the old folder and the path without its leading ".".
std::string oldPathOf(const std::string& oldFolder, const std::string& path) {
  return oldFolder + path.substr(1);
}

// An older build: its folder and its scan.
struct OldBuild {
  std::string folder;
  DataSet files;
};

// An older copy of a file that a patch is made from: which build (0 the
// first --old, whose patch is the manifest's) and where the copy is.
struct OldCopy {
  size_t build;
  std::string path;
};

// The older copies of path to make patches from, one per checksum: each
// build's copy that differs from the new file (checksum) and from the
// copies of the builds before it.
std::vector<OldCopy> oldCopiesToPatch(const std::vector<OldBuild>& olds, const std::string& path,
                                      int32_t checksum) {
  std::vector<OldCopy> copies;
  std::vector<int32_t> bases{checksum};
  for (size_t build = 0; build < olds.size(); ++build) {
    std::string oldPath = oldPathOf(olds[build].folder, path);
    auto old = olds[build].files.find(oldPath);
    if (old == olds[build].files.end()) continue;
    if (std::find(bases.begin(), bases.end(), old->second) != bases.end()) continue;
    bases.push_back(old->second);
    copies.push_back({build, std::move(oldPath)});
  }
  return copies;
}

// One entry of the data set as planned before any file is read. Its
// number is fixed here, in the files' order, so that it does not depend on
// which thread publishes the file or when. A file emptied after the plan
// leaves its number unused.
struct PlannedFile {
  const std::string* path;
  int32_t scannedChecksum;
  bool empty;  // no bytes when planned: listed as an empty file
  bool sized;  // its size could be read
  uint64_t size;
  uint32_t fileNumber;
};

// What publishing one file gave, taken in the files' order.
struct FileOutcome {
  DeferredLog log;
  bool published = false;  // false: the data set is incomplete
  bool empty = false;
  ManifestEntry entry;
  SignedFile signedFile;  // what the file holds, for the signature file
  std::vector<IndexedFile> indexed;  // its update data files
};

// What every file is published against.
struct Publication {
  const std::vector<OldBuild>& olds;  // newest first
  uint64_t patchMemoryBudget;
  MemoryBudget& memory;  // shared by the files in progress
  const Encodings& encodings;
};

// The memory one patch of a copy of oldSize takes in all: the old and new
// file and the working memory of the diff method the budget allows (and
// of the zstd patch, made after the diff from the classic patch's body).
// 0 when not even the block method fits the budget.
uint64_t onePatchMemory(uint64_t oldSize, uint64_t newSize, const Publication& publication) {
  uint64_t working = diffMemory(oldSize, newSize, publication.patchMemoryBudget);
  if (working == 0) return 0;
  const Encodings& encodings = publication.encodings;
  if (encodings.zstd) {
    working = std::max(working, newSize + zstdPatchMemory(encodings.zstdLevel, oldSize, newSize));
  }
  return oldSize + newSize + working;
}

// The memory the file's patches take: they are made one after another, so
// the largest one's. 0 when it gets none: it did not change since the old
// builds, or not even the block method fits the budget (a line says so
// for the first old build's patch).
uint64_t patchMemoryNeeded(const PlannedFile& file, const Publication& publication,
                           DeferredLog& log) {
  if (!file.sized) return 0;
  uint64_t needed = 0;
  for (const OldCopy& copy : oldCopiesToPatch(publication.olds, *file.path, file.scannedChecksum)) {
    uint64_t memory = onePatchMemory(sizeOf(copy.path), file.size, publication);
    if (memory == 0 && copy.build == 0) {
      log.line("file too large to patch within memory, published whole: " + *file.path);
    }
    needed = std::max(needed, memory);
  }
  return needed;
}

// Publishes a file read whole into memory, as a patch needs it: its
// container, and its patch when it differs from the old copy (*base is
// then the patch base). A file that memory cannot hold is streamed whole
// instead. False when the file could not be published (logged).
bool publishHeld(const std::string& path, const std::string& output, uint32_t fileNumber,
                 const Publication& publication, Published* published, uint32_t* base,
                 DeferredLog& log) {
  Bytes content;
  Status read = readWholeFile(path, &content);
  if (read.kind() == Status::Kind::kOutOfMemory) {
    log.line("file too large to patch within memory, published whole: " + path);
    return compressStreamed(path, output, publication.encodings, fileNumber, published, log);
  }
  if (reportFailure(read, log)) {
    log.error("failed to read: " + path);
    return false;
  }
  published->size = content.size();
  if (content.empty()) return true;  // emptied since the scan
  // The checksum of the bytes published, so manifest and update data agree
  // even for a file that changed since the scan.
  published->checksum = bytesChecksum(content.data(), content.size());
  published->sha256 = sha256Of(content.data(), content.size());
  const Encodings& encodings = publication.encodings;
  WholeSizes whole;
  if (encodings.classic) {
    if (!writeHeldContainer(output, content, log)) {
      log.error("failed to compress: " + path);
      return false;
    }
    whole.classic = sizeOf(output);
    published->indexed.push_back({DataKind::kWhole, whole.classic, 0});
  }
  if (encodings.zstd) {
    const std::string zstdOutput = outputPath(dataFileName(fileNumber, DataKind::kZstdWhole));
    Status written =
        writeZstdWhole(zstdOutput, encodings.zstdLevel, content.data(), content.size(), &whole.zstd);
    if (zstdFailureStops(written, encodings, path, log)) {
      reportFailure(written, log);
      log.error("failed to compress: " + path);
      return false;
    }
    if (written.ok()) published->indexed.push_back({DataKind::kZstdWhole, whole.zstd, 0});
  }
  // The copies as they are now: the file may have changed since the scan.
  for (const OldCopy& copy : oldCopiesToPatch(publication.olds, path, published->checksum)) {
    if (onePatchMemory(sizeOf(copy.path), content.size(), publication) == 0) continue;
    bool tagged = copy.build != 0;
    uint32_t made = makePatch(path, copy.path, content, fileNumber, whole,
                              publication.patchMemoryBudget, encodings, tagged, published, log);
    if (!tagged) *base = made;
  }
  return true;
}

// Writes one file's update data; runs on any worker thread.
void publishFile(const PlannedFile& file, const Publication& publication, FileOutcome* outcome) {
  outcome->empty = file.empty;
  outcome->signedFile = {0, sha256Of(nullptr, 0)};
  if (file.empty) {
    outcome->published = true;
    return;
  }
  const std::string& path = *file.path;
  std::string output = outputPath(wholeFileName(file.fileNumber));
  Published published;
  uint32_t base = 0;
  bool done;
  const Encodings& encodings = publication.encodings;
  if (uint64_t needed = patchMemoryNeeded(file, publication, outcome->log); needed != 0) {
    MemoryShare share(publication.memory, needed);
    done = publishHeld(path, output, file.fileNumber, publication, &published, &base,
                       outcome->log);
  } else {
    // A zstd encoder's window and tables are more than a streamed file's
    // buffers: they count against the same pool.
    uint64_t zstdMemory = encodings.zstd ? zstdWholeMemory(encodings.zstdLevel, file.size) : 0;
    MemoryShare share(publication.memory, zstdMemory);
    done = compressStreamed(path, output, encodings, file.fileNumber, &published, outcome->log);
  }
  if (!done) return;
  outcome->published = true;
  outcome->signedFile = {published.size, published.sha256};
  if (published.size == 0) {  // emptied since the scan
    removeFile(output);
    removeFile(outputPath(dataFileName(file.fileNumber, DataKind::kZstdWhole)));
    outcome->empty = true;
    return;
  }
  outcome->entry = {static_cast<uint32_t>(published.checksum), base, file.fileNumber};
  outcome->indexed = std::move(published.indexed);
}

// Numbers the files of the data set in the order of their paths' bytes,
// which every platform lists alike (the manifest's entries come in an order
// that follows from it). The publisher's own log is left out: it is still
// being written, and no player ever installs it. So is a private key left
// in the build, which must never reach every player.
std::vector<PlannedFile> planFiles(const DataSet& dataSet) {
  const std::string ownLog = std::string("./") + kLogFile;
  const std::string privateKey = std::string("./") + kPrivateKeyFile;
  std::vector<const DataSet::value_type*> entries;
  for (const auto& entry : dataSet) {
    if (entry.first == privateKey) logLine("never published: " + entry.first);
    if (entry.first != ownLog && entry.first != privateKey) entries.push_back(&entry);
  }
  std::sort(entries.begin(), entries.end(),
            [](const auto* a, const auto* b) { return a->first < b->first; });
  std::vector<PlannedFile> plan;
  plan.reserve(entries.size());
  uint32_t fileNumber = 0;
  for (const auto* entry : entries) {
    std::error_code ec;
    uintmax_t size = fs::file_size(toNativePath(entry->first), ec);
    PlannedFile file{&entry->first, entry->second, !ec && size == 0, !ec, ec ? 0 : size,
                     fileNumber};
    if (!file.empty) ++fileNumber;
    plan.push_back(file);
  }
  return plan;
}

struct Counters {
  uint32_t written = 0;
  uint32_t patches = 0;
  uint32_t olderPatches = 0;  // tagged: from the builds after the first --old
  uint32_t processed = 0;
};

unsigned threadCount(unsigned threads) {
  if (threads != 0) return threads;
  return std::max(std::thread::hardware_concurrency(), 1u);
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

// encodings.index, listing what was written of every file; written
// before the signature, which covers it as it covers every data file. A
// classic data set has one only when it holds tagged patches, which
// nothing else names.
bool writeEncodingsIndex(const Encodings& encodings,
                         const std::vector<std::pair<uint32_t, IndexedFile>>& indexed) {
  bool anyTagged = std::any_of(indexed.begin(), indexed.end(),
                               [](const auto& line) { return line.second.tagged; });
  if (!encodings.zstd && !anyTagged) return true;
  Bytes bytes = encodeEncodingsIndex(indexed);
  return !reportFailure(writeFileAtomically(std::string(kUpdateDataFolder) + kEncodingsIndexName,
                                            bytes.data(), bytes.size()));
}

bool writeManifestFile(const Manifest& manifest) {
  Bytes bytes = encodeManifest(manifest);
  return !reportFailure(writeFileAtomically(std::string(kUpdateDataFolder) + kManifestName,
                                            bytes.data(), bytes.size()));
}

// The finished data set as a release a web server may cache
// (create/release_layout.h). update_data/ stays complete either way, but
// without its release no web server offers it.
bool publishNewRelease() {
  std::string id;
  Status published = publishRelease(&id);
  if (!published.ok()) {
    logError("the release could not be published: " + published.message());
    return false;
  }
  std::string folder = std::string(kReleasesFolder) + id + "/";
  logLine("Release " + id + " is in " + folder + "; " + kReleasesFolder + kCurrentReleaseName +
          " names it");
  return true;
}

// The size of the data set as written: every file of the update data
// folder, and how many there are.
std::string dataSetSizeLine() {
  uint64_t bytes = 0;
  uint64_t files = 0;
  std::error_code ec;
  for (fs::directory_iterator it(toNativePath(kUpdateDataFolder), ec);
       !ec && it != fs::directory_iterator(); it.increment(ec)) {
    std::error_code sizeError;
    uintmax_t size = it->file_size(sizeError);
    if (sizeError) continue;
    bytes += size;
    ++files;
  }
  return "Update data: " + std::to_string(bytes) + " bytes in " + std::to_string(files) +
         " files";
}

// Scans the older builds, newest first. False when one cannot be scanned.
bool scanOldBuilds(const std::vector<std::string>& oldFolders, std::vector<OldBuild>* olds) {
  for (const std::string& folder : oldFolders) {
    logLine("Using old data for patch from: " + folder);
    Status scanned;
    olds->push_back({folder, scanDataSet(folder, &scanned)});
    if (reportFailure(scanned)) return false;
  }
  return true;
}

}  // namespace

bool createUpdateData(const DataSet& dataSet, const std::vector<std::string>& oldFolders,
                      uint64_t patchMemoryBudget, unsigned threads,
                      const SigningRequest* signing, const Encodings& encodings) {
  logLine("Creating update data...");
  KeyPair keys;
  if (!loadSigningKey(signing, &keys)) return false;
  std::vector<OldBuild> olds;
  if (!scanOldBuilds(oldFolders, &olds)) return false;
  Manifest manifest;
  manifest.datasetChecksum = datasetChecksum();
  logLine("-- dataset checksum: " + decimalText(manifest.datasetChecksum));
  if (!createOutputFolder()) return false;

  std::vector<PlannedFile> plan = planFiles(dataSet);
  uint32_t entries = static_cast<uint32_t>(plan.size());
  uint32_t interval = entries / 20 + 1;
  Counters counters;
  MemoryBudget memory(patchMemoryBudget);
  Publication publication{olds, patchMemoryBudget, memory, encodings};
  std::vector<FileOutcome> outcomes(plan.size());
  std::map<std::string, SignedFile> signedFiles;
  std::vector<std::pair<uint32_t, IndexedFile>> indexed;
  auto publish = [&](size_t index) { publishFile(plan[index], publication, &outcomes[index]); };
  // Each file's lines, its manifest entry and the progress are taken in the
  // files' order, as if they were published one after another.
  auto take = [&](size_t index) {
    const FileOutcome& outcome = outcomes[index];
    outcome.log.replay();
    if (!outcome.published) {
      logError("update data is incomplete: no manifest written");
      return false;
    }
    const std::string& path = *plan[index].path;
    signedFiles[path] = outcome.signedFile;
    if (outcome.empty) {
      manifest.emptyFiles.push_back(path);
      return true;
    }
    manifest.files[path] = outcome.entry;
    for (const IndexedFile& file : outcome.indexed) {
      indexed.emplace_back(outcome.entry.fileNumber, file);
      counters.olderPatches += file.tagged ? 1 : 0;
    }
    if (outcome.entry.patchBaseChecksum != 0) ++counters.patches;
    ++counters.written;
    ++counters.processed;
    if (counters.processed % interval == 0) {
      logLine(percentText(static_cast<float>(counters.processed) / static_cast<float>(entries)));
    }
    return true;
  };
  if (!runOrderedJobs(plan.size(), threadCount(threads), publish, take)) return false;

  std::vector<std::string> links;
  Status listed = listFoldersRecursive("./", &manifest.folders, &links);
  std::erase_if(manifest.folders, [](const std::string& folder) {
    return isStagingPath("./", folder) || isReleasesPath("./", folder);
  });
  // The scan left them out too: what a link stands for is not the build's.
  for (const std::string& link : links) logLine("link not published: " + link);
  // Sorted, as the files are: each folder still comes before its contents.
  std::sort(manifest.folders.begin(), manifest.folders.end());
  if (reportFailure(listed)) {
    logError("update data is incomplete: no manifest written");
    return false;
  }
  if (!writeEncodingsIndex(encodings, indexed) || !writeManifestFile(manifest)) return false;
  if (!signDataSet(signing, keys, signedFiles)) return false;
  logLine("... update data done");
  logLine("Written: " + decimalText(counters.written));
  logLine("Patches: " + decimalText(counters.patches));
  logLine("Folders: " + decimalText(static_cast<uint32_t>(manifest.folders.size())));
  logLine("Empty files: " + decimalText(static_cast<uint32_t>(manifest.emptyFiles.size())));
  if (olds.size() > 1) logLine("Patches from older builds: " + decimalText(counters.olderPatches));
  logLine(dataSetSizeLine());
  return publishNewRelease();
}

}  // namespace quor
