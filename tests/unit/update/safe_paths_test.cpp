#include <gtest/gtest.h>

#include "test_support.h"
#include "update/safe_paths.h"

namespace quor {
namespace {

TEST(SafePaths, SafeManifestPathAcceptsPlainRelativePaths) {
  for (const char* path : {"./a", "./data/quor/maps/a.map", "./.hidden", "./a..b",
                           "./updater.exe", "./x y/z", "./console.txt", "./COM10", "./nul_x",
                           "./~1", "./a~b", "./backup~", "./long_name~1", "./a~1.json",
                           // '~' and digits, but no short name of a folder the scope rules single out
                           "./data/quor/maps/tex~1.dds", "./data/QUOR~1.MAP", "./T~12/x",
                           "./ED12ZZ~1/x"}) {
    EXPECT_TRUE(isSafeManifestPath(path)) << path;
  }
}

TEST(SafePaths, SafeManifestPathRefusesAnythingThatCouldLeaveTheFolder) {
  for (const char* path :
       {"", ".", "./", "/etc/passwd", "a/b", "../x", "./../x", "./a/../../x", "./a/..",
        "./a/./b", "./.", "./a//b", "./a/", ".//a", "./a\\..\\..\\x", ".\\a", "./C:/x", "C:/x",
        "./c:", "//server/share"}) {
    EXPECT_FALSE(isSafeManifestPath(path)) << path;
  }
  EXPECT_FALSE(isSafeManifestPath(std::string_view("./a\0b", 5)));
}

TEST(SafePaths, SafeManifestPathRefusesNamesWindowsWouldReadAsOthers) {
  // Windows drops trailing dots and spaces: these would land in ./saves/.
  for (const char* path : {"./saves./x.sav", "./saves /x.sav", "./x.", "./...", "./a/b ",
                           "./CON", "./data/nul.txt", "./aux", "./COM1.log", "./lpt9",
                           // short names that could stand for editor_data, server_data,
                           // saves, settings or data, in any case and any place
                           "./EDITOR~1/x.dat", "./SERVER~1/y", "./saves~2/s", "./setti~3/x",
                           "./data/quor/SE~12/x", "./DA~1.BIN", "./ED3F1A~1/x", "./Se0b9C~2"}) {
    EXPECT_FALSE(isSafeManifestPath(path)) << path;
  }
}

TEST(SafePaths, SafeManifestPathRefusesOtherDeviceSpellingsAndAliasesOfTheUpdatersFiles) {
  for (const char* path :
       {"./CON .txt", "./data/nul  .x", "./COM\xC2\xB9", "./lpt\xC2\xB3.log", "./Com\xC2\xB2.a",
        "./COM0", "./CONIN$", "./conout$.txt",
        // short names of updater_staging, updater.version, updater.log, updater.key
        "./UPDATE~1/17.part", "./UPDATE~1.VER", "./update~2.log", "./UP3F1A~1.KEY",
        // letters a case-folding file system reads as s, k, st
        "./\xC5\xBF" "aves/x.sav", "./updater.\xE2\x84\xAA" "ey",
        "./updater_\xEF\xAC\x86" "aging/x"}) {
    EXPECT_FALSE(isSafeManifestPath(path)) << path;
  }
  for (const char* path : {"./CONSOLE .txt", "./COM\xC2\xB9x", "./COM\xC2\xB4", "./CONIN",
                           "./xCON .txt", "./UPX~1.BIN", "./caf\xC3\xA9/\xEF\xAC\x90"}) {
    EXPECT_TRUE(isSafeManifestPath(path)) << path;
  }
}

TEST(SafePaths, SafeManifestPathUnsafeEntriesAreDroppedWithOneLineEach) {
  testing::LogCapture log;
  Manifest manifest;
  manifest.folders = {"./ok", "../up"};
  manifest.emptyFiles = {"/abs", "./fine.txt"};
  manifest.files["./data/quor/a"] = {1, 0, 0};
  manifest.files["./data/quor/../../../b"] = {1, 0, 1};
  manifest.files["C:\\windows\\c"] = {1, 0, 2};
  EXPECT_EQ(dropUnsafeManifestPaths(manifest), 4u);
  EXPECT_EQ(manifest.folders, (std::vector<std::string>{"./ok"}));
  EXPECT_EQ(manifest.emptyFiles, (std::vector<std::string>{"./fine.txt"}));
  EXPECT_EQ(manifest.files.size(), 1u);
  EXPECT_EQ(log.count("unsafe path in manifest, skipped: "), 4);
  EXPECT_EQ(log.count("unsafe path in manifest, skipped: ./data/quor/../../../b"), 1);
}

}  // namespace
}  // namespace quor
