#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>

#include "container/container.h"
#include "container/container_writer.h"
#include "container/zstd_stream.h"
#include "create/create_mode.h"
#include "dataset/encodings_index.h"
#include "dataset/layout.h"
#include "dataset/manifest.h"
#include "dataset/md5.h"
#include "patch/patch.h"
#include "patch_test_helpers.h"
#include "status_values.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::readBytes;
using testing::ScopedCurrentDir;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

Manifest readManifestFile() {
  Bytes bytes = readBytes(std::string(kUpdateDataFolder) + kManifestName);
  return readManifest(bytes.data(), bytes.size());
}

std::optional<Bytes> decodeFile(const std::string& path, uint32_t type) {
  std::string content = testing::readFile(path);
  return testing::decodedContainer(type, content);
}

std::string dataPath(uint32_t number, const char* suffix) {
  return kUpdateDataFolder + std::to_string(number) + suffix;
}

class CreateMode : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
  LogCapture log;
};

TEST_F(CreateMode, WithoutOldBuildEveryFileIsCompressed) {
  writeFile("data/quor/a.bin", testing::randomBytes(5000, 1));
  writeFile("data/common/b.txt", "abc");
  writeFile("quor.exe", "game");
  writeFile("data/quor/empty.txt", "");
  // A publisher's folder that was once updated: its downloads are no part
  // of the build, and neither file nor folder of them is published.
  writeFile(std::string(kStagingFolder) + "/3.compressed.part", "partial download");
  fs::create_directories("server_data");
  DataSet set = scanDataSet("./");
  ASSERT_TRUE(createUpdateData(set, {}));

  Manifest manifest = readManifestFile();
  EXPECT_TRUE(manifest.complete);
  EXPECT_EQ(manifest.emptyFiles, (std::vector<std::string>{"./data/quor/empty.txt"}));
  ASSERT_EQ(manifest.files.size(), 3u);
  std::set<uint32_t> numbers;
  for (const auto& [path, entry] : manifest.files) {
    EXPECT_EQ(entry.patchBaseChecksum, 0u);
    EXPECT_EQ(entry.checksum, static_cast<uint32_t>(set.at(path)));
    numbers.insert(entry.fileNumber);
    auto content = decodeFile(dataPath(entry.fileNumber, ".compressed"), generic);
    ASSERT_TRUE(content) << path;
    EXPECT_EQ(*content, readBytes(path)) << path;
    EXPECT_FALSE(fs::exists(dataPath(entry.fileNumber, ".patch")));
  }
  EXPECT_EQ(numbers, (std::set<uint32_t>{0, 1, 2}));
  EXPECT_EQ(manifest.datasetChecksum,
            static_cast<uint32_t>(set.at("./data/quor/a.bin") + set.at("./data/common/b.txt") +
                                  set.at("./quor.exe")));
  std::vector<std::string> folders = manifest.folders;
  std::sort(folders.begin(), folders.end());
  EXPECT_EQ(folders, (std::vector<std::string>{"./data", "./data/common", "./data/quor",
                                               "./server_data", "./server_data/update_data"}));

  std::string text = log.text();
  EXPECT_EQ(text.find("Using old data for patch from: "), std::string::npos);
  EXPECT_NE(text.find(": Creating update data...\n: -- dataset checksum: " +
                      std::to_string(manifest.datasetChecksum) + "\n: 25%\n: 50%\n: 75%\n"
                      ": ... update data done\n: Written: 3\n: Patches: 0\n: Folders: 5\n"
                      ": Empty files: 1\n"),
            std::string::npos)
      << text;
}

TEST_F(CreateMode, WithOldBuildOnlyChangedFilesGetPatches) {
  Bytes base = testing::randomBytes(20000, 2);
  Bytes changed = base;
  changed[100] ^= 0xFF;
  changed.insert(changed.begin() + 5000, 300, 7);
  writeFile("old/data/quor/changed.bin", base);
  writeFile("old/data/quor/same.bin", "same");
  writeFile("old/data/quor/removed.bin", "gone");
  fs::create_directories("new/server_data");
  writeFile("new/data/quor/changed.bin", changed);
  writeFile("new/data/quor/same.bin", "same");
  writeFile("new/data/quor/added.bin", "new");
  ScopedCurrentDir inNew("new");
  ASSERT_TRUE(createUpdateData(scanDataSet("./"), {"../old"}));

  Manifest manifest = readManifestFile();
  ASSERT_EQ(manifest.files.size(), 3u);
  EXPECT_EQ(manifest.files.count("./data/quor/removed.bin"), 0u);
  for (const char* plain : {"./data/quor/same.bin", "./data/quor/added.bin"}) {
    EXPECT_EQ(manifest.files.at(plain).patchBaseChecksum, 0u) << plain;
    EXPECT_FALSE(fs::exists(dataPath(manifest.files.at(plain).fileNumber, ".patch")));
  }
  const ManifestEntry& entry = manifest.files.at("./data/quor/changed.bin");
  EXPECT_EQ(entry.patchBaseChecksum, static_cast<uint32_t>(bytesChecksum(base.data(), base.size())));
  auto body = decodeFile(dataPath(entry.fileNumber, ".patch"), binary_patch);
  ASSERT_TRUE(body);
  auto result = testing::patched(base.data(), static_cast<uint32_t>(base.size()), body->data(),
                                 static_cast<uint32_t>(body->size()));
  ASSERT_TRUE(result);
  EXPECT_EQ(*result, changed);
  // The patch is much smaller than the file it rebuilds.
  EXPECT_LT(fs::file_size(dataPath(entry.fileNumber, ".patch")), changed.size() / 10);
  EXPECT_NE(log.text().find(": Using old data for patch from: ../old\n"), std::string::npos);
  EXPECT_NE(log.text().find(": Patches: 1\n"), std::string::npos);
}

// Files larger than the encoder's piece are streamed to the same bytes as
// before; a patch beyond the memory budget is skipped with a line.
TEST_F(CreateMode, LargeFilesStreamAndPatchesKeepToTheMemoryBudget) {
  Bytes oldBig = testing::randomBytes(3 * kContainerPieceSize, 4);
  Bytes big = oldBig;
  big[1000] ^= 1;
  Bytes oldSmall = testing::randomBytes(20000, 5);
  Bytes small = oldSmall;
  small[10] ^= 1;
  Bytes added = testing::randomBytes(2 * kContainerPieceSize + 3, 6);
  added.insert(added.end(), kContainerPieceSize, 'q');
  writeFile("old/big.bin", oldBig);
  writeFile("old/small.bin", oldSmall);
  fs::create_directories("new/server_data");
  writeFile("new/big.bin", big);
  writeFile("new/small.bin", small);
  writeFile("new/added.bin", added);
  ScopedCurrentDir inNew("new");
  // Room for the small file's patch (about 1 MiB of work buffer and 12
  // bytes per byte) but not for the big one's.
  ASSERT_TRUE(createUpdateData(scanDataSet("./"), {"../old"}, uint64_t(2) << 20));

  Manifest manifest = readManifestFile();
  for (const auto& [path, content] : {std::pair{"./big.bin", &big}, {"./added.bin", &added}}) {
    const ManifestEntry& entry = manifest.files.at(path);
    EXPECT_EQ(entry.checksum, uint32_t(bytesChecksum(content->data(), content->size())));
    EXPECT_EQ(entry.patchBaseChecksum, 0u) << path;
    EXPECT_FALSE(fs::exists(dataPath(entry.fileNumber, ".patch"))) << path;
    std::ostringstream before;
    ASSERT_TRUE(containerEncode(generic, content->data(), uint32_t(content->size()), before).ok());
    EXPECT_EQ(testing::readFile(dataPath(entry.fileNumber, ".compressed")), before.str()) << path;
  }
  const ManifestEntry& patched = manifest.files.at("./small.bin");
  EXPECT_EQ(patched.patchBaseChecksum, uint32_t(bytesChecksum(oldSmall.data(), oldSmall.size())));
  auto body = decodeFile(dataPath(patched.fileNumber, ".patch"), binary_patch);
  ASSERT_TRUE(body);
  EXPECT_EQ(testing::patched(oldSmall.data(), uint32_t(oldSmall.size()), body->data(),
                             uint32_t(body->size())),
            small);
  EXPECT_EQ(log.count(": file too large to patch within memory, published whole: "), 1);
  EXPECT_EQ(log.count(": file too large to patch within memory, published whole: ./big.bin\n"),
            1);
  EXPECT_EQ(log.count(": Written: 3\n: Patches: 1\n"), 1) << log.text();
  EXPECT_EQ(log.count("ERROR"), 0) << log.text();
}

// Every file of folder, by name below it, with its bytes.
std::map<std::string, std::string> folderFiles(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : fs::recursive_directory_iterator(folder)) {
    if (entry.is_regular_file()) {
      std::string name = fs::relative(entry.path(), folder).generic_string();
      files[name] = testing::readFile(folder + "/" + name);
    }
  }
  return files;
}

// One thread or several, the same data set: numbers, bytes, manifest and
// log lines in the same order. Patches share a budget that holds about two
// at once; a patch no smaller than the compressed file is not published.
TEST_F(CreateMode, EveryThreadCountPublishesTheSameDataSet) {
  fs::create_directories("new/server_data");
  for (uint32_t i = 0; i < 36; ++i) {
    std::string name = "data/quor/f" + std::to_string(i) + ".bin";
    Bytes old = testing::randomBytes(20000 + 1000 * i, i);
    Bytes current = old;
    switch (i % 6) {
      case 0:  // changed: a patch
      case 1:
        current[i * 10] ^= 0x5A;
        current.insert(current.begin() + 5000, 700, uint8_t(i));
        break;
      case 2:  // all new bytes: the patch is no smaller than the file
        current = testing::randomBytes(old.size(), 1000 + i);
        break;
      case 3:  // unchanged
        break;
      case 4:  // new
        old.clear();
        break;
      default:  // empty
        current.clear();
    }
    if (!old.empty()) writeFile("old/" + name, old);
    writeFile("new/" + name, current);
  }
  Bytes big = testing::randomBytes(400000, 77);  // its patch alone exceeds the budget
  writeFile("old/big.bin", big);
  big[7] ^= 1;
  writeFile("new/big.bin", big);
  ScopedCurrentDir inNew("new");
  DataSet set = scanDataSet("./");

  std::vector<std::map<std::string, std::string>> published;
  std::vector<std::vector<std::string>> lines;
  for (unsigned threads : {1u, 4u}) {
    SCOPED_TRACE(threads);
    size_t before = log.records().size();
    ASSERT_TRUE(createUpdateData(set, {"../old"}, uint64_t(3) << 20, threads));
    std::vector<std::string> records = log.records();
    lines.emplace_back(records.begin() + long(before), records.end());
    std::string kept = "../run" + std::to_string(threads);  // outside the build
    fs::rename(fs::path(kUpdateDataFolder).parent_path(), kept);
    published.push_back(folderFiles(kept));
  }
  EXPECT_EQ(published[0], published[1]);
  EXPECT_EQ(lines[0], lines[1]);

  Bytes manifestBytes(published[0]["manifest.manifest"].begin(),
                      published[0]["manifest.manifest"].end());
  Manifest manifest = readManifest(manifestBytes.data(), manifestBytes.size());
  int patches = 0;
  for (uint32_t i = 0; i < 36; i += 6) {
    for (uint32_t kind : {0u, 1u, 2u}) {
      std::string path = "./data/quor/f" + std::to_string(i + kind) + ".bin";
      const ManifestEntry& entry = manifest.files.at(path);
      bool patched = kind != 2;
      EXPECT_EQ(entry.patchBaseChecksum != 0, patched) << path;
      EXPECT_EQ(published[0].count(std::to_string(entry.fileNumber) + ".patch"), patched ? 1u : 0u)
          << path;
      patches += patched;
      if (!patched) {
        EXPECT_EQ(log.count(": patch not smaller than the compressed file, published whole: " +
                            path + "\n"),
                  2);
      }
    }
  }
  EXPECT_EQ(manifest.emptyFiles.size(), 6u);
  EXPECT_EQ(log.count(": file too large to patch within memory, published whole: ./big.bin\n"), 2);
  EXPECT_EQ(log.count(": Written: 31\n: Patches: " + std::to_string(patches) + "\n"), 2)
      << log.text();
  EXPECT_EQ(log.count("ERROR"), 0) << log.text();
}

// Whatever bsdiff cannot get, create mode still publishes the file whole.
TEST_F(CreateMode, PatchWithoutMemoryLeavesTheFileWhole) {
  Bytes old = testing::randomBytes(4 << 20, 7);
  Bytes changed = old;
  changed[5] ^= 1;
  writeFile("old/x.bin", old);
  fs::create_directories("new/server_data");
  writeFile("new/x.bin", changed);
  ScopedCurrentDir inNew("new");
  DataSet set = scanDataSet("./");
  bool published;
  bool limited;
  {
    // Room for both files and the compression, not for the sort's 32 MiB.
    testing::ScopedAddressSpaceLimit limit(size_t(24) << 20);
    limited = limit.active();
    published = createUpdateData(set, {"../old"});
  }
  ASSERT_TRUE(published);
  Manifest manifest = readManifestFile();
  const ManifestEntry& entry = manifest.files.at("./x.bin");
  EXPECT_EQ(entry.checksum, uint32_t(bytesChecksum(changed.data(), changed.size())));
  EXPECT_EQ(decodeFile(dataPath(entry.fileNumber, ".compressed"), generic), changed);
  if (limited) {
    EXPECT_EQ(entry.patchBaseChecksum, 0u);
    // The sort's memory, or already the file's copy, could not be had.
    EXPECT_EQ(log.count("failed to create patch: ./x.bin") +
                  log.count("file too large to patch within memory, published whole: ./x.bin"),
              1)
        << log.text();
  }
}

// A file whose suffix array would exceed the budget is patched by the
// block index, and players apply that patch as any other; a block patch
// no smaller than the compressed file is dropped as a bsdiff one is.
TEST_F(CreateMode, FileAboveBsdiffsBudgetIsPatchedByBlocks) {
  Bytes old = testing::randomBytes(3 << 20, 8);
  Bytes changed(old.begin() + (1 << 20), old.end());  // the first MiB moved to the end
  changed.insert(changed.end(), old.begin(), old.begin() + (1 << 20));
  changed[100] ^= 1;
  writeFile("old/big.bin", old);
  writeFile("old/other.bin", testing::randomBytes(3 << 20, 9));
  fs::create_directories("new/server_data");
  writeFile("new/big.bin", changed);
  writeFile("new/other.bin", testing::randomBytes(3 << 20, 10));
  ScopedCurrentDir inNew("new");
  ASSERT_TRUE(createUpdateData(scanDataSet("./"), {"../old"}, uint64_t(8) << 20, 2));
  Manifest manifest = readManifestFile();
  const ManifestEntry& other = manifest.files.at("./other.bin");
  EXPECT_EQ(other.patchBaseChecksum, 0u);
  EXPECT_FALSE(fs::exists(dataPath(other.fileNumber, ".patch")));
  EXPECT_EQ(log.count(": patch not smaller than the compressed file, published whole: "
                      "./other.bin\n"),
            1)
      << log.text();
  const ManifestEntry& entry = manifest.files.at("./big.bin");
  EXPECT_EQ(entry.patchBaseChecksum, uint32_t(bytesChecksum(old.data(), old.size())));
  auto body = decodeFile(dataPath(entry.fileNumber, ".patch"), binary_patch);
  ASSERT_TRUE(body);
  EXPECT_LT(body->size(), changed.size() + 1000);  // three records, diff bytes all zero
  EXPECT_EQ(testing::patched(old.data(), uint32_t(old.size()), body->data(),
                             uint32_t(body->size())),
            changed);
  EXPECT_LT(fs::file_size(dataPath(entry.fileNumber, ".patch")), 64u << 10);
  EXPECT_EQ(log.count("too large"), 0) << log.text();
  EXPECT_EQ(log.count(": Patches: 1\n"), 1) << log.text();
}

TEST_F(CreateMode, EmptyOldFileGivesNoPatchButTheFileIsPublished) {
  writeFile("old/x.bin", "");
  fs::create_directories("new/server_data");
  writeFile("new/x.bin", "content");
  ScopedCurrentDir inNew("new");
  ASSERT_TRUE(createUpdateData(scanDataSet("./"), {"../old"}));
  EXPECT_EQ(readManifestFile().files.at("./x.bin").patchBaseChecksum, 0u);
  EXPECT_EQ(log.count("failed to read old file, or file is empty: ../old/x.bin"), 1);
}

TEST_F(CreateMode, MissingServerDataStopsBeforeReadingAnything) {
  writeFile("a.bin", "a");
  EXPECT_FALSE(createUpdateData(scanDataSet("./"), {}));
  EXPECT_FALSE(fs::exists("server_data"));
  EXPECT_EQ(log.count("server_data/ not found"), 1);
}

TEST_F(CreateMode, UnreadableFileMeansNoManifest) {
  writeFile("a.bin", "a");
  fs::create_directories("server_data");
  DataSet set = scanDataSet("./");
  set["./vanished.bin"] = 5;  // listed, then removed before it was read
  EXPECT_FALSE(createUpdateData(set, {}));
  EXPECT_FALSE(fs::exists("server_data/update_data/manifest.manifest"));
  EXPECT_EQ(log.count("failed to read: ./vanished.bin"), 1);

  // Beyond what a container holds: refused before anything is read.
  writeFile("huge.bin", "");
  fs::resize_file("huge.bin", kMaxContainerLength + 1);  // sparse
  set.erase("./vanished.bin");
  set["./huge.bin"] = 6;
  EXPECT_FALSE(createUpdateData(set, {}));
  EXPECT_FALSE(fs::exists("server_data/update_data/manifest.manifest"));
  EXPECT_EQ(log.count("cannot read ./huge.bin: larger than 4 GiB"), 1);
  EXPECT_EQ(log.count("failed to read: ./huge.bin"), 1);
}

TEST_F(CreateMode, UnwritableOutputMeansNoManifest) {
  writeFile("a.bin", "a");
  fs::create_directories("server_data/update_data/0.compressed");  // a folder in the way
  EXPECT_FALSE(createUpdateData(scanDataSet("./"), {}));
  EXPECT_FALSE(fs::exists("server_data/update_data/manifest.manifest"));
  std::string text = log.text();
  EXPECT_NE(text.find("cannot write server_data/update_data/0.compressed: "), std::string::npos);
  EXPECT_NE(text.find("failed to compress: ./a.bin"), std::string::npos) << text;
}

TEST_F(CreateMode, ProgressEveryThirdFileOfForty) {
  fs::create_directories("server_data");
  for (int i = 0; i < 40; ++i) writeFile("f" + std::to_string(i), std::to_string(i));
  ASSERT_TRUE(createUpdateData(scanDataSet("./"), {}));
  std::string text = log.text();
  EXPECT_NE(text.find(": 8%\n: 15%\n: 23%\n"), std::string::npos) << text;  // 3, 6, 9 of 40
  EXPECT_EQ(log.count("%\n"), 13);
}

// Each run keeps its data set as a release, and the next run's build, in
// the same folder, publishes none of the releases as game files.
TEST_F(CreateMode, EveryRunAddsAReleaseThatNoLaterBuildShips) {
  fs::create_directories("server_data");
  writeFile("quor.exe", "v1");
  ASSERT_TRUE(createUpdateData(scanDataSet("./"), {}));
  std::string releases = kReleasesFolder;
  std::string first = testing::readFile(releases + kCurrentReleaseName);
  ASSERT_EQ(first.size(), kReleaseIdLength + 1) << first;
  first.pop_back();
  EXPECT_EQ(readBytes(releases + first + "/" + kManifestName),
            readBytes(std::string(kUpdateDataFolder) + kManifestName));
  EXPECT_EQ(log.count(": Release " + first + " is in server_data/releases/" + first +
                      "/; server_data/releases/current names it\n"),
            1)
      << log.text();

  fs::remove_all(kUpdateDataFolder);  // as --create does before the scan
  writeFile("quor.exe", "v2");
  ASSERT_TRUE(createUpdateData(scanDataSet("./"), {}));
  Manifest manifest = readManifestFile();
  EXPECT_EQ(manifest.files.size(), 1u);
  for (const std::string& folder : manifest.folders) {
    EXPECT_EQ(folder.find("releases"), std::string::npos) << folder;
  }
  std::string second = testing::readFile(releases + kCurrentReleaseName);
  second.pop_back();
  EXPECT_NE(second, first);
  EXPECT_TRUE(fs::is_directory(releases + first));
  auto content = decodeFile(releases + second + "/" +
                                std::to_string(manifest.files.at("./quor.exe").fileNumber) +
                                ".compressed",
                            generic);
  ASSERT_TRUE(content);
  EXPECT_EQ(*content, readBytes("quor.exe"));
  EXPECT_TRUE(isReleasesPath("./", "./Server_Data/Releases/x"));
  EXPECT_FALSE(isReleasesPath("./", "./server_data/releases2/x"));

  fs::remove_all(kReleasesFolder);
  writeFile("server_data/releases", "in the way");
  fs::remove_all(kUpdateDataFolder);
  EXPECT_FALSE(createUpdateData(scanDataSet("./"), {}));
  EXPECT_EQ(log.count("the release could not be published: cannot create folder " +
                      releases),
            1)
      << log.text();
}

// The data files of the folder with their sizes, the manifest apart.
std::map<std::string, uint64_t> dataFiles(const std::string& folder) {
  std::map<std::string, uint64_t> files;
  for (const auto& entry : fs::directory_iterator(folder)) {
    std::string name = entry.path().filename().string();
    if (name != kManifestName) files[name] = entry.file_size();
  }
  return files;
}

// Last in the file: the zstd encoders leave freed memory in the threads'
// heaps, which the address space limits of the tests above would count.
TEST_F(CreateMode, EncodingsChooseWhatIsWrittenAndTheIndexListsItAll) {
  Bytes base = testing::randomBytes(40000, 3);
  Bytes changed = base;
  changed.insert(changed.begin() + 9000, 500, 9);
  writeFile("old/data/quor/changed.bin", base);
  writeFile("old/data/quor/text.txt", std::string(30000, 'a') + "c");
  for (const char* build : {"both", "classic", "zstd"}) {
    const std::string root = std::string(build) + "/";
    writeFile(root + "data/quor/changed.bin", changed);
    writeFile(root + "data/quor/text.txt", std::string(30000, 'a') + "b");
    fs::create_directories(root + "server_data");
    ScopedCurrentDir inBuild(root);
    Encodings encodings{std::string(build) != "zstd", std::string(build) != "classic", 5};
    ASSERT_TRUE(createUpdateData(scanDataSet("./"), {"../old"}, kPatchMemoryBudget, 0, nullptr,
                                 encodings));
    Manifest manifest = readManifestFile();
    uint32_t changedNumber = manifest.files.at("./data/quor/changed.bin").fileNumber;
    EXPECT_NE(manifest.files.at("./data/quor/changed.bin").patchBaseChecksum, 0u) << build;
    std::map<std::string, uint64_t> files = dataFiles(kUpdateDataFolder);
    // An updater that reads the manifest alone finds N.patch wherever the
    // manifest names a base.
    for (const auto& [path, entry] : manifest.files) {
      if (encodings.classic && entry.patchBaseChecksum != 0) {
        EXPECT_EQ(files.count(patchFileName(entry.fileNumber)), 1u) << build << path;
      }
    }
    if (!encodings.zstd) {
      EXPECT_EQ(files.count(kEncodingsIndexName), 0u);
      for (const auto& [name, bytes] : files) EXPECT_FALSE(isZstdName(name)) << name;
      continue;
    }
    // The index lists every other data file with its size, the patches
    // with their base.
    Bytes indexBytes = readBytes(std::string(kUpdateDataFolder) + kEncodingsIndexName);
    EncodingsIndex index;
    ASSERT_TRUE(parseEncodingsIndex(indexBytes.data(), indexBytes.size(), &index).ok());
    size_t listed = 0;
    for (const auto& [number, indexed] : index.files) {
      for (const IndexedFile& file : indexed) {
        ++listed;
        EXPECT_EQ(files.at(dataFileName(number, file.kind)), file.size) << build;
        if (isPatchKind(file.kind)) {
          EXPECT_EQ(number, changedNumber);
        }
        EXPECT_EQ(file.base != 0, isPatchKind(file.kind));
        if (!encodings.classic) {
          EXPECT_TRUE(isZstdName(dataFileName(number, file.kind))) << build;
        }
      }
    }
    EXPECT_EQ(listed + 1, files.size()) << build;
    EXPECT_EQ(index.files.at(changedNumber).size(), encodings.classic ? 4u : 2u) << build;
    // The zstd file holds the file, and is smaller than the container.
    std::string zst = testing::readFile(kUpdateDataFolder + dataFileName(changedNumber, DataKind::kZstdWhole));
    MemorySource source(reinterpret_cast<const uint8_t*>(zst.data()), zst.size());
    ZstdDecodeSource decoded(source, zst.size());
    Bytes content(changed.size() + 1);
    size_t got = 0;
    ASSERT_TRUE(decoded.read(content.data(), content.size(), &got).ok());
    content.resize(got);
    EXPECT_EQ(content, changed);
  }
}

// Three older builds, newest first: one patch per distinct older copy,
// the first build's as the manifest's, the others tagged with their base.
TEST_F(CreateMode, OlderBuildsGetTaggedPatchesOnePerDistinctBase) {
  auto version = [](int v) {
    Bytes bytes = testing::randomBytes(60000, 11);
    for (int i = 0; i < v; ++i) bytes.insert(bytes.begin() + 5000 * (i + 1), 300, uint8_t(v));
    return bytes;
  };
  auto checksumOf = [](const Bytes& b) { return uint32_t(bytesChecksum(b.data(), b.size())); };
  for (int v = 1; v <= 3; ++v) {
    std::string build = "v" + std::to_string(v) + "/";
    writeFile(build + "all.bin", version(v));                 // differs in every build
    writeFile(build + "twice.bin", version(v == 3 ? 2 : v));  // v2 and v3 alike
    if (v != 3) writeFile(build + "back.bin", version(v));    // gone in v3, back in v4
  }
  for (const char* build : {"both", "classic"}) {
    SCOPED_TRACE(build);
    const std::string root = std::string(build) + "/";
    for (const char* name : {"all.bin", "twice.bin", "back.bin"}) writeFile(root + name, version(4));
    fs::create_directories(root + "server_data");
    ScopedCurrentDir inBuild(root);
    Encodings encodings{true, std::string(build) == "both", 3};
    ASSERT_TRUE(createUpdateData(scanDataSet("./"), {"../v3", "../v2", "../v1"},
                                 kPatchMemoryBudget, 2, nullptr, encodings));
    Manifest manifest = readManifestFile();
    EXPECT_EQ(manifest.files.at("./all.bin").patchBaseChecksum, checksumOf(version(3)));
    EXPECT_EQ(manifest.files.at("./back.bin").patchBaseChecksum, 0u);
    Bytes indexBytes = readBytes(std::string(kUpdateDataFolder) + kEncodingsIndexName);
    EncodingsIndex index;
    ASSERT_TRUE(parseEncodingsIndex(indexBytes.data(), indexBytes.size(), &index).ok());
    std::map<std::string, std::multiset<uint32_t>> taggedBases;
    for (const auto& [path, entry] : manifest.files) {
      for (const IndexedFile& file : index.files.at(entry.fileNumber)) {
        if (!file.tagged) continue;
        std::string name = indexedFileName(entry.fileNumber, file);
        EXPECT_EQ(fs::file_size(kUpdateDataFolder + name), file.size) << name;
        EXPECT_EQ(isZstdName(name), encodings.zstd) << name;
        taggedBases[path].insert(file.base);
        if (file.kind != DataKind::kPatch) continue;
        // A classic tagged patch turns its base into the new file.
        std::optional<Bytes> body = decodeFile(kUpdateDataFolder + name, binary_patch);
        ASSERT_TRUE(body);
        Bytes old = file.base == checksumOf(version(1)) ? version(1) : version(2), result;
        ASSERT_TRUE(bspatch(old.data(), uint32_t(old.size()), body->data(), uint32_t(body->size()),
                            &result).ok());
        EXPECT_EQ(result, version(4));
      }
    }
    using Bases = std::multiset<uint32_t>;
    EXPECT_EQ(taggedBases["./all.bin"], (Bases{checksumOf(version(2)), checksumOf(version(1))}));
    EXPECT_EQ(taggedBases["./twice.bin"], Bases{checksumOf(version(1))});
    EXPECT_EQ(taggedBases["./back.bin"], (Bases{checksumOf(version(2)), checksumOf(version(1))}));
  }
  EXPECT_EQ(log.count("Patches from older builds: 5"), 2);
  EXPECT_EQ(log.count("Update data: "), 2);
}

}  // namespace
}  // namespace quor
