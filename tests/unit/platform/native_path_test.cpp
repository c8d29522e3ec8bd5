#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

#include "container/container.h"
#include "dataset/dataset.h"
#include "dataset/manifest.h"
#include "dataset/md5.h"
#include "fs/file_io.h"
#include "fs/file_utils.h"
#include "patch/diff.h"
#include "platform/native_path.h"
#include "status_values.h"
#include "test_support.h"
#include "update/file_apply.h"
#include "update/update_run.h"

namespace quor {
namespace {

namespace fs = std::filesystem;
using testing::LogCapture;
using testing::ScopedCurrentDir;
using testing::TempDir;

// Game files whose names are not ASCII: Latin letters with accents, a CJK
// folder and name, and a character outside the Basic Multilingual Plane
// (two UTF-16 units on Windows).
const std::u8string kNames[] = {
    u8"./data/quor/maps/café.map",
    u8"./data/quor/naïve/ü.txt",
    u8"./data/common/地图/新しい.dat",
    u8"./data/quor/🎲.bin",
};
const std::u8string kFolders[] = {
    u8"./data", u8"./data/quor", u8"./data/quor/maps", u8"./data/quor/naïve",
    u8"./data/common", u8"./data/common/地图",
};

// The program's form of a name: UTF-8 in a std::string.
std::string utf8(std::u8string_view name) { return std::string(name.begin(), name.end()); }

// The file system's form, made by the standard library from char8_t text,
// which it always reads as UTF-8: independent of the program's own
// conversions, so the names are checked against what other programs see.
fs::path osPath(std::u8string_view name) { return fs::path(name); }

std::vector<std::string> utf8Names() {
  std::vector<std::string> names;
  for (const std::u8string& name : kNames) names.push_back(utf8(name));
  std::sort(names.begin(), names.end());
  return names;
}

std::vector<std::string> sorted(std::vector<std::string> list) {
  std::sort(list.begin(), list.end());
  return list;
}

Bytes contentOf(size_t index) { return testing::randomBytes(1000 + 100 * index, 40 + index); }

void writeOsFile(std::u8string_view name, const Bytes& content) {
  fs::create_directories(osPath(name).parent_path());
  std::ofstream out(osPath(name), std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(content.data()),
            static_cast<std::streamsize>(content.size()));
}

Bytes readOsFile(std::u8string_view name) {
  std::ifstream in(osPath(name), std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST(NativePath, ConvertsUtf8NamesBothWays) {
  for (const std::u8string& name : kNames) {
    EXPECT_EQ(toNativePath(utf8(name)).native(), osPath(name).native()) << utf8(name);
    EXPECT_EQ(fromNativePath(osPath(name)), utf8(name));
  }
  EXPECT_EQ(fromNativePath(toNativePath("")), "");
}

#ifdef _WIN32
// Windows names are UTF-16: malformed UTF-8 cannot name a file as it is.
// It must neither throw nor turn into ASCII the path checks never saw.
TEST(NativePath, MalformedTextBecomesReplacementCharacters) {
  EXPECT_EQ(toNativePath(".\xFF./a\xC3/\xC0\xAF").native(),
            std::wstring(L".\uFFFD./a\uFFFD/\uFFFD\uFFFD"));
  EXPECT_EQ(fromNativePath(fs::path(std::wstring(L"a\xD800" L"b"))), "a\xEF\xBF\xBD" "b");
}

// The C runtime hands main() its arguments in the ANSI code page.
TEST(NativePath, AnsiArgumentsBecomeUtf8) {
  const wchar_t* folder = L"../v\u00E9";
  char ansi[64] = {};
  BOOL lossy = FALSE;
  bool utf8CodePage = GetACP() == CP_UTF8;
  int length = WideCharToMultiByte(CP_ACP, utf8CodePage ? 0 : WC_NO_BEST_FIT_CHARS, folder, -1,
                                   ansi, sizeof(ansi), nullptr, utf8CodePage ? nullptr : &lossy);
  if (length == 0 || lossy) GTEST_SKIP() << "the ANSI code page has no e acute";
  EXPECT_EQ(pathFromArgument(ansi), utf8(u8"../vé"));
  EXPECT_EQ(pathFromArgument("../plain"), "../plain");
}
#else
// POSIX names are bytes: any bytes name the file they are, UTF-8 or not.
TEST(NativePath, AnyBytesNameTheFileAsTheyAre) {
  TempDir dir;
  std::string name = dir / "caf\xE9";
  ASSERT_TRUE(writeFileAtomically(name, nullptr, 0).ok());
  EXPECT_EQ(testing::listedFiles(dir.path(), nullptr), std::vector<std::string>{name});
  EXPECT_EQ(pathFromArgument("../v\xE9"), "../v\xE9");
}
#endif

TEST(NativePath, OpensAndRemovesByUtf8Name) {
  TempDir dir;
  std::string name = dir / utf8(u8"ñandú.txt");
  fs::path osName = fs::path(dir.path()) / osPath(u8"ñandú.txt");
  FILE* file = openFile(name, "wb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fwrite("x", 1, 1, file), 1u);
  std::fclose(file);
  EXPECT_EQ(fs::file_size(osName), 1u);
  file = openFile(name, "rb");
  ASSERT_NE(file, nullptr);
  EXPECT_EQ(std::fgetc(file), 'x');
  std::fclose(file);
  EXPECT_EQ(removeFile(name), 0);
  EXPECT_FALSE(fs::exists(osName));
  EXPECT_NE(removeFile(name), 0);
  EXPECT_EQ(openFile(name, "rb"), nullptr);
}

// A game folder holding kNames, written by the standard library.
class NativePathUtf8Names : public ::testing::Test {
 protected:
  NativePathUtf8Names() : here_(dir_.path()) {}

  void writeGameFiles() {
    for (size_t i = 0; i < std::size(kNames); ++i) writeOsFile(kNames[i], contentOf(i));
  }

  TempDir dir_;
  ScopedCurrentDir here_;
  LogCapture log_;
};

TEST_F(NativePathUtf8Names, ListingsGiveTheNamesAsUtf8) {
  writeGameFiles();
  Status error;
  EXPECT_EQ(sorted(testing::listedFiles("./", &error)), utf8Names());
  EXPECT_TRUE(error.ok());
  std::vector<std::string> folders;
  for (const std::u8string& folder : kFolders) folders.push_back(utf8(folder));
  EXPECT_EQ(sorted(testing::listedFolders("./", &error)), sorted(folders));
  EXPECT_TRUE(error.ok());
}

TEST_F(NativePathUtf8Names, ScanAndReadsFindTheFilesUnderTheirNames) {
  writeGameFiles();
  DataSet set = scanDataSet("./");
  ASSERT_EQ(set.size(), std::size(kNames));
  for (size_t i = 0; i < std::size(kNames); ++i) {
    std::string name = utf8(kNames[i]);
    Bytes content = contentOf(i);
    int32_t checksum = bytesChecksum(content.data(), content.size());
    ASSERT_NE(checksum, 0);
    EXPECT_EQ(set[name], checksum) << name;
    EXPECT_EQ(fileChecksum(name), checksum) << name;
    Status error;
    EXPECT_EQ(testing::wholeFile(name, &error), content) << error.message();
  }
}

TEST_F(NativePathUtf8Names, WritesLandUnderTheNamesGiven) {
  for (size_t i = 0; i < std::size(kNames); ++i) {
    std::string name = utf8(kNames[i]);
    Bytes first = contentOf(i);
    Bytes second = contentOf(i + 10);
    ASSERT_TRUE(createParentFolders(name).ok());
    ASSERT_TRUE(writeFileAtomically(name, first.data(), first.size()).ok());
    EXPECT_EQ(readOsFile(kNames[i]), first) << name;
    // Rewriting replaces the file in place: no second name appears.
    ASSERT_TRUE(writeFileAtomically(name, second.data(), second.size()).ok());
    EXPECT_EQ(readOsFile(kNames[i]), second) << name;
  }
  EXPECT_EQ(sorted(testing::listedFiles("./", nullptr)), utf8Names());
}

// The update run's side: a changed file patched, a new one written whole
// into a new folder, a dropped one deleted, the manifest's folders and
// empty files created.
TEST_F(NativePathUtf8Names, UpdateRunWritesAndDeletesUnderTheNames) {
  writeGameFiles();
  const std::u8string changed = kNames[0];
  const std::u8string dropped = kNames[1];
  const std::u8string added = u8"./data/quor/新/ü.bin";
  const std::u8string folder = u8"./data/quor/ordner_ä";
  const std::u8string empty = u8"./data/quor/leer_ö.txt";

  Bytes old = contentOf(0);
  Bytes edited = old;
  edited[500] ^= 0x5A;
  std::ostringstream patch;
  ASSERT_TRUE(bsdiff(old.data(), static_cast<uint32_t>(old.size()), edited.data(),
                     static_cast<uint32_t>(edited.size()), patch).ok());
  std::string patchBytes = patch.str();
  uint32_t editedChecksum = static_cast<uint32_t>(bytesChecksum(edited.data(), edited.size()));
  EXPECT_EQ(applyReceivedFile(utf8(changed), "1.patch", editedChecksum,
                              Bytes(patchBytes.begin(), patchBytes.end())),
            ApplyOutcome::kPatched);
  EXPECT_EQ(readOsFile(changed), edited);

  Bytes fresh = contentOf(7);
  std::ostringstream whole;
  ASSERT_TRUE(containerEncode(generic, fresh.data(), static_cast<uint32_t>(fresh.size()), whole).ok());
  std::string wholeBytes = whole.str();
  uint32_t freshChecksum = static_cast<uint32_t>(bytesChecksum(fresh.data(), fresh.size()));
  EXPECT_EQ(applyReceivedFile(utf8(added), "2.compressed", freshChecksum,
                              Bytes(wholeBytes.begin(), wholeBytes.end())),
            ApplyOutcome::kWritten);
  EXPECT_EQ(readOsFile(added), fresh);

  Manifest manifest;
  manifest.folders.push_back(utf8(folder));
  manifest.emptyFiles.push_back(utf8(empty));
  for (const std::u8string& name : kNames) {
    if (name != dropped) manifest.files[utf8(name)] = ManifestEntry{};
  }
  manifest.files[utf8(added)] = ManifestEntry{};
  deleteFiles(scanDataSet("./"), manifest, false);
  createFoldersAndEmptyFiles(manifest, false);
  EXPECT_FALSE(fs::exists(osPath(dropped)));
  EXPECT_TRUE(fs::exists(osPath(kNames[2])));
  EXPECT_TRUE(fs::exists(osPath(added)));
  EXPECT_TRUE(fs::is_directory(osPath(folder)));
  EXPECT_TRUE(fs::is_regular_file(osPath(empty)));
  EXPECT_EQ(fs::file_size(osPath(empty)), 0u);
}

}  // namespace
}  // namespace quor
