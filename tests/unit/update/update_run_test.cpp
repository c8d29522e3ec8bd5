// The update run without a network: replies are placed in the controller
// before the run asks for them.
#include <gtest/gtest.h>

#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <thread>

#include "container/container.h"
#include "container/zstd_stream.h"
#include "dataset/md5.h"
#include "patch/diff.h"
#include "patch/split_patch.h"
#include "null_source.h"
#include "test_support.h"
#include "update/staging.h"
#include "update/update_run.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::readBytes;
using testing::ScopedCurrentDir;
using testing::TempDir;
using testing::writeFile;
namespace fs = std::filesystem;

// Replies are delivered before the run asks, so a run that succeeds never
// comes near its limit; only the give-up test waits it out.
constexpr std::chrono::milliseconds kLimit{30000};
constexpr std::chrono::milliseconds kShortLimit{300};

uint32_t checksumOf(const Bytes& bytes) {
  return static_cast<uint32_t>(bytesChecksum(bytes.data(), bytes.size()));
}

Bytes container(uint32_t type, const Bytes& content) {
  std::ostringstream out;
  EXPECT_TRUE(containerEncode(type, content.data(), static_cast<uint32_t>(content.size()), out).ok());
  std::string bytes = out.str();
  return Bytes(bytes.begin(), bytes.end());
}

Bytes patchFile(const Bytes& from, const Bytes& to) {
  std::ostringstream out;
  EXPECT_TRUE(bsdiff(from.data(), static_cast<uint32_t>(from.size()), to.data(),
                     static_cast<uint32_t>(to.size()), out).ok());
  std::string bytes = out.str();
  return Bytes(bytes.begin(), bytes.end());
}

void deliver(FileUpdateController& controller, const std::string& name, const Bytes& bytes) {
  controller.onFileReply(name, static_cast<uint32_t>(bytes.size()), bytes.data());
}

class UpdateRun : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
  LogCapture log;
  FileUpdateController controller;
  testing::NullSource source;
  Manifest manifest;

  void publish(const std::string& path, const Bytes& content, uint32_t number,
               uint32_t patchBase = 0) {
    manifest.files[path] = {checksumOf(content), patchBase, number};
  }
};

TEST_F(UpdateRun, PendingRequestsChooseWholeFilesOrPatches) {
  DataSet local = {{"./data/quor/base", 7},     {"./data/quor/other", 8},
                   {"./data/quor/same", 9},     {"./updater.exe", 7},
                   {"./data/other/skip", 1},    {"./quor.exe", 3}};
  manifest.files = {{"./data/quor/base", {1, 7, 10}},  {"./data/quor/other", {1, 7, 11}},
                    {"./data/quor/same", {9, 0, 12}},  {"./data/quor/new", {1, 7, 13}},
                    {"./updater.exe", {1, 7, 14}},     {"./data/other/skip", {2, 1, 15}},
                    {"./quor.exe", {4, 0, 16}}};
  PendingRequests pending = buildPendingRequests(local, manifest, false);
  EXPECT_EQ(pending, (PendingRequests{{"./data/quor/base", "10.patch"},
                                      {"./data/quor/other", "11.compressed"},
                                      {"./data/quor/new", "13.compressed"},
                                      {"./updater.exe", "14.compressed"},
                                      {"./quor.exe", "16.compressed"}}));
}

TEST_F(UpdateRun, NothingToDoStillReports) {
  EXPECT_TRUE(getUpdates({}, manifest, false, controller, source, kLimit));
  EXPECT_NE(log.text().find(": Getting updates from server...\n: No remaining file requests\n"
                            ": ... updates applied\n: Written: 0\n: Patched: 0\n"),
            std::string::npos);
}

TEST_F(UpdateRun, WholeFilesAndPatchesAreWrittenAndCounted) {
  Bytes oldContent = testing::randomBytes(30000, 1);
  Bytes newContent = oldContent;
  newContent[500] ^= 1;
  Bytes fresh = testing::randomBytes(1000, 2);
  writeFile("data/quor/p.bin", oldContent);
  DataSet local = scanDataSet("./");
  publish("./data/quor/p.bin", newContent, 0, checksumOf(oldContent));
  publish("./data/common/deep/new.bin", fresh, 1);
  publish("./quor.exe", Bytes{'g'}, 2);
  deliver(controller, "0.patch", patchFile(oldContent, newContent));
  deliver(controller, "1.compressed", container(generic, fresh));
  deliver(controller, "2.compressed", container(generic, Bytes{'g'}));

  ASSERT_TRUE(getUpdates(local, manifest, false, controller, source, kLimit));
  EXPECT_EQ(readBytes("data/quor/p.bin"), newContent);
  EXPECT_EQ(readBytes("data/common/deep/new.bin"), fresh);
  EXPECT_EQ(readBytes("quor.exe"), Bytes{'g'});
  std::string text = log.text();
  EXPECT_NE(text.find(": 33%\n: 67%\n: 100%\n: No remaining file requests\n"
                      ": ... updates applied\n: Written: 2\n: Patched: 1\n"),
            std::string::npos)
      << text;
}

TEST_F(UpdateRun, AnUnusablePatchFallsBackToTheWholeFile) {
  Bytes base = testing::randomBytes(5000, 3);
  Bytes other = testing::randomBytes(5000, 4);  // what the patch was made from
  Bytes wanted = other;
  wanted[10] ^= 1;
  writeFile("data/quor/f", base);
  DataSet local = scanDataSet("./");
  publish("./data/quor/f", wanted, 4, checksumOf(base));
  deliver(controller, "4.patch", patchFile(other, wanted));
  deliver(controller, "4.compressed", container(generic, wanted));
  ASSERT_TRUE(getUpdates(local, manifest, false, controller, source, kLimit));
  EXPECT_EQ(readBytes("data/quor/f"), wanted);
  EXPECT_EQ(log.count("patch result does not match the manifest: ./data/quor/f (4.patch)"), 1);
  EXPECT_EQ(log.count("Written: 1"), 1);
}

TEST_F(UpdateRun, ARefusedPatchFallsBackToo) {
  writeFile("data/quor/f", "old");
  DataSet local = scanDataSet("./");
  Bytes wanted = {'n', 'e', 'w'};
  publish("./data/quor/f", wanted, 4, checksumOf({'o', 'l', 'd'}));
  Bytes garbage = container(binary_patch, Bytes{'n', 'o', 't', ' ', 'a', ' ', 'p', 'a', 't', 'c',
                                                'h', '!', '!', '!', '!', '!', '!', '!', '!', '!'});
  deliver(controller, "4.patch", garbage);
  deliver(controller, "4.compressed", container(generic, wanted));
  ASSERT_TRUE(getUpdates(local, manifest, false, controller, source, kLimit));
  EXPECT_EQ(readBytes("data/quor/f"), wanted);
  EXPECT_EQ(log.count("bspatch: "), 1);
}

TEST_F(UpdateRun, AGarbledPatchReplyFallsBackToo) {
  writeFile("data/quor/f", "old");
  DataSet local = scanDataSet("./");
  Bytes wanted = {'n', 'e', 'w'};
  publish("./data/quor/f", wanted, 4, checksumOf({'o', 'l', 'd'}));
  deliver(controller, "4.patch", Bytes{1, 2, 3, 4, 5, 6, 7, 8});
  deliver(controller, "4.compressed", container(generic, wanted));
  ASSERT_TRUE(getUpdates(local, manifest, false, controller, source, kLimit));
  EXPECT_EQ(readBytes("data/quor/f"), wanted);
  EXPECT_EQ(log.count("could not decompress file: ./data/quor/f (4.patch)"), 1);
  EXPECT_EQ(log.count("Fetching the whole file instead: 4.compressed"), 1);
}

Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

Bytes zstdFrame(const Bytes& content, const Bytes& prefix = {}) {
  ZstdSettings settings;
  settings.level = 3;
  settings.prefix = prefix.data();
  settings.prefixSize = prefix.size();
  std::string frame;
  EXPECT_TRUE(zstdCompress(settings, content.data(), content.size(), &frame).ok());
  return bytesOf(frame);
}

Bytes splitPatch(const Bytes& from, const Bytes& to) {
  Bytes patch = patchFile(from, to);
  std::istringstream in(std::string(patch.begin(), patch.end()));
  Bytes body;
  EXPECT_TRUE(containerDecode(binary_patch, in, &body).ok());
  std::string split;
  EXPECT_TRUE(encodeSplitPatch(body.data(), body.size(), ZstdSettings(), &split).ok());
  return bytesOf(split);
}

TEST_F(UpdateRun, TheSmallestListedDataIsFetchedAndWhatFailsFallsBack) {
  Bytes base = testing::randomBytes(20000, 5);
  Bytes wanted = base;
  wanted[77] ^= 1;
  for (const char* name : {"data/quor/a", "data/quor/b", "updater.exe"}) writeFile(name, base);
  DataSet local = scanDataSet("./");
  uint32_t from = checksumOf(base);
  const char* paths[] = {"./data/quor/a", "./data/quor/b", "./data/quor/c", "./updater.exe",
                         "./data/quor/d"};
  for (uint32_t number = 1; number <= 5; ++number) publish(paths[number - 1], wanted, number, from);
  Bytes garbled = zstdFrame(wanted);
  garbled[garbled.size() / 2] ^= 0x40;
  deliver(controller, "1.zdiff", splitPatch(base, wanted));
  deliver(controller, "2.zfrom", garbled);
  deliver(controller, "2.patch", patchFile(base, wanted));
  deliver(controller, "3.zst", garbled);
  deliver(controller, "3.compressed", container(generic, wanted));
  deliver(controller, "4.zst", zstdFrame(wanted));
  deliver(controller, "5.zst", {});  // listed, but not on the server
  deliver(controller, "5.compressed", container(generic, wanted));
  std::string from_ = std::to_string(from);
  std::string text = "quor_encodings 1\n1.compressed 900 0\n1.zst 800 0\n1.patch 90 " + from_ +
                     "\n1.zdiff 80 " + from_ + "\n2.zst 800 0\n2.patch 90 " + from_ +
                     "\n2.zfrom 10 " + from_ + "\n3.zst 800 0\n3.compressed 900 0\n4.zst 800 0" +
                     "\n4.zfrom 10 " + from_ + "\n5.zst 800 0\n5.compressed 900 0\n";
  EncodingsIndex index;
  ASSERT_TRUE(parseEncodingsIndex(bytesOf(text).data(), text.size(), &index).ok());
  RequestPlan plan = planRequests(local, manifest, false, {}, &index);
  EXPECT_EQ(plan.pending, (PendingRequests{{"./data/quor/a", "1.zdiff"},
                                           {"./data/quor/b", "2.zfrom"},
                                           {"./data/quor/c", "3.zst"},
                                           {"./updater.exe", "4.zst"},
                                           {"./data/quor/d", "5.zst"}}));
  ASSERT_EQ(runUpdates(plan.pending, manifest, controller, source, kLimit, nullptr, nullptr,
                       &plan.fallbacks),
            RunEnd::kFinished);
  for (const char* name : {"data/quor/a", "data/quor/b", "data/quor/c", "updater.exe",
                           "data/quor/d"}) {
    EXPECT_EQ(readBytes(name), wanted) << name;
  }
  EXPECT_EQ(log.count("5.zst is not on the server"), 1);
  EXPECT_EQ(log.count("Fetching 2.patch instead of 2.zfrom"), 1);
  EXPECT_EQ(log.count("Fetching 3.compressed instead of 3.zst"), 1);
  EXPECT_EQ(log.count("Patched: 2"), 1);
  EXPECT_EQ(log.count("Fallbacks: 3"), 1);
}

// A whole file whose data fails its checks is fetched once more; when the
// second copy fails too, nothing is written and the run ends as refused,
// which update mode takes to the next server.
TEST_F(UpdateRun, BadWholeFilesAreFetchedTwiceAndNotWritten) {
  writeFile("data/quor/keep", "local");
  DataSet local = scanDataSet("./");
  publish("./data/quor/keep", Bytes{'x'}, 0);
  publish("./data/quor/garbage", Bytes{'y'}, 1);
  std::map<std::string, Bytes> bad{{"0.compressed", container(generic, Bytes{'w', 'r', 'o', 'n', 'g'})},
                                   {"1.compressed", Bytes{1, 2, 3, 4, 5}}};
  for (const auto& [name, bytes] : bad) deliver(controller, name, bytes);
  std::thread server([&] {  // answers each second request as the first
    std::set<std::string> answered;
    for (int i = 0; i < 5000 && answered.size() < bad.size(); ++i) {
      for (const auto& [name, bytes] : bad) {
        if (answered.count(name) == 0 && log.count("Fetching the whole file again: " + name) == 1) {
          deliver(controller, name, bytes);
          answered.insert(name);
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  RunEnd end = runUpdates(buildPendingRequests(local, manifest, false), manifest, controller, source, kLimit);
  server.join();
  EXPECT_EQ(end, RunEnd::kRefused);
  EXPECT_EQ(testing::readFile("data/quor/keep"), "local");
  EXPECT_FALSE(fs::exists("data/quor/garbage"));
  EXPECT_EQ(log.count("file does not match the manifest, not written: ./data/quor/keep "
                      "(0.compressed)"), 2);
  EXPECT_EQ(log.count("could not decompress file: ./data/quor/garbage (1.compressed)"), 2);
  EXPECT_EQ(log.count("Written: 0"), 1);
}

TEST_F(UpdateRun, AReplyStillOnItsWayIsWaitedForPastTheLimit) {
  Bytes content = testing::randomBytes(1000, 3);
  publish("./data/quor/big", content, 0);
  // The server keeps sending (a large file over a slow line) and the reply
  // is complete only after more than three times the limit.
  ReplyWait wait(kShortLimit);
  uint64_t received = 0;
  wait.receivedBytes = [&] { return received += kProgressBytes; };
  std::thread server([&] {
    std::this_thread::sleep_for(kShortLimit * 3);
    deliver(controller, "0.compressed", container(generic, content));
  });
  bool done = getUpdates({}, manifest, false, controller, source, wait);
  server.join();
  EXPECT_TRUE(done);
  EXPECT_EQ(readBytes("data/quor/big"), content);
}

TEST_F(UpdateRun, AMissingReplyGivesUpAndAsksForARestart) {
  testing::RecordedSleeps sleeps;  // the polls and the 5 s pause return at once
  publish("./data/quor/a", Bytes{'a'}, 0);
  deliver(controller, "0.compressed", Bytes{});  // an empty reply is not accepted
  EXPECT_FALSE(getUpdates({}, manifest, false, controller, source, kShortLimit));
  std::string text = log.text();
  EXPECT_NE(text.find("failed to fetch: 0.compressed"), std::string::npos);
  EXPECT_NE(text.find("updater got stuck when updating file: 0.compressed\n####\n"
                      ": Restarting in 5 seconds\n: Press ctrl+c to abort\n"
                      ": If this keeps repeating, please report to developer, thank you!\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(sleeps.pauses().back(), kGiveUpPauseMs);
  EXPECT_EQ(text.find("updates applied"), std::string::npos);
}

// A file that cannot be written here (a folder stands in the way of its
// temporary copy, as a locked file would) is named at the end instead of
// "... updates applied", and so is the key that decides the next run's
// trust: it is installed only once every other file of its release is,
// and last.
TEST_F(UpdateRun, FilesLeftAsTheyWereAreNamedAndHoldTheNewKeyBack) {
  std::vector<std::string> notUpdated;
  publish("./data/quor/a.bin", Bytes{'a'}, 0);
  publish("./data/quor/locked.bin", Bytes{'l'}, 1);
  publish("./updater.key", Bytes{'k'}, 2);
  fs::create_directories("data/quor/locked.bin.quor_tmp");
  deliver(controller, "0.compressed", container(generic, Bytes{'a'}));
  deliver(controller, "1.compressed", container(generic, Bytes{'l'}));
  deliver(controller, "2.compressed", container(generic, Bytes{'k'}));
  PendingRequests pending = buildPendingRequests({}, manifest, false);
  EXPECT_EQ(runUpdates(pending, manifest, controller, source, kLimit, nullptr, &notUpdated),
            RunEnd::kFinished);
  EXPECT_EQ(readBytes("data/quor/a.bin"), Bytes{'a'});
  EXPECT_FALSE(fs::exists("updater.key"));
  EXPECT_EQ(std::set<std::string>(notUpdated.begin(), notUpdated.end()),
            (std::set<std::string>{"./data/quor/locked.bin", "./updater.key"}));
  EXPECT_EQ(log.count("updates applied"), 0);
  EXPECT_EQ(log.count("2 files were not updated:"), 1) << log.text();

  fs::remove("data/quor/locked.bin.quor_tmp");
  for (int i = 0; i < 2; ++i) {
    deliver(controller, "1.compressed", container(generic, Bytes{'l'}));
    deliver(controller, "2.compressed", container(generic, Bytes{'k'}));
  }
  pending = buildPendingRequests(scanDataSet("./"), manifest, false);
  EXPECT_EQ(runUpdates(pending, manifest, controller, source, kLimit, nullptr, &notUpdated),
            RunEnd::kFinished);
  EXPECT_TRUE(notUpdated.empty());
  EXPECT_EQ(readBytes("updater.key"), Bytes{'k'});
  std::string text = log.text();
  EXPECT_LT(text.rfind("Written: 1"), text.rfind("Written: 2"));  // the second run wrote both
}

// Pieces an earlier run staged under a name that a new release gave to a
// smaller file: the server answers the resumed request with "beyond the
// end", and the file starts again from its first byte in the same run
// instead of failing the same way in every run; a server too busy for
// that request is asked again.
TEST_F(UpdateRun, StagingOfANameNowSmallerStartsAgainInTheSameRun) {
  constexpr uint32_t kPiece = 64 * 1024;
  {  // closed before the run, as an earlier run would have left it
    StagedFile stale("0.compressed");
    ASSERT_TRUE(stale.start(40 * kPiece, 1, kPiece).ok());
    Bytes filler(kPiece, 'x');
    for (uint32_t piece = 0; piece < 3; ++piece) {
      ASSERT_TRUE(stale.writePiece(piece * kPiece, filler.data(), filler.size()).ok());
    }
  }
  Bytes content = testing::randomBytes(5000, 9);
  Bytes data = container(generic, content);
  publish("./data/quor/small.bin", content, 0);
  RangeOffer offer;
  offer.maxPieceSize = kPiece;
  controller.onRangeOffer(offer);
  FileRangeReply beyond;
  beyond.name = "0.compressed";
  beyond.status = kRangeStatusBeyondEnd;
  beyond.offset = 3 * kPiece;
  controller.onFileRangeReply(beyond);
  FileRangeReply busy;  // the restart's first answer: ask again
  busy.name = "0.compressed";
  busy.status = kRangeStatusBusy;
  controller.onFileRangeReply(busy);
  std::thread server([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    FileRangeReply whole;
    whole.name = "0.compressed";
    whole.fileSize = data.size();
    whole.fileVersion = 2;
    whole.data = ByteSpan(data.data(), data.size());
    controller.onFileRangeReply(whole);
  });
  EXPECT_EQ(runUpdates(buildPendingRequests({}, manifest, false), manifest, controller, source, kLimit),
            RunEnd::kFinished);
  server.join();
  EXPECT_EQ(readBytes("data/quor/small.bin"), content);
  EXPECT_FALSE(fs::exists("updater_staging/0.compressed.part"));
}

TEST_F(UpdateRun, TheUpdaterIsMovedAsideAndBackWhenItCannotBeReplaced) {
  writeFile("updater.exe", "running updater");
  fs::create_directory("updater.exe.quor_tmp");  // the new copy cannot be written
  publish("./updater.exe", Bytes{'n', 'e', 'w'}, 0);
  deliver(controller, "0.compressed", container(generic, Bytes{'n', 'e', 'w'}));
  ASSERT_TRUE(getUpdates(scanDataSet("./"), manifest, false, controller, source, kLimit));
  EXPECT_EQ(testing::readFile("updater.exe"), "running updater");
  EXPECT_FALSE(fs::exists("updater_old.exe"));
  EXPECT_EQ(log.count("cannot write ./updater.exe"), 1);

  fs::remove("updater.exe.quor_tmp");
  writeFile("updater_old.exe", "left over");  // Windows' rename replaces no file
  deliver(controller, "0.compressed", container(generic, Bytes{'n', 'e', 'w'}));
  ASSERT_TRUE(getUpdates(scanDataSet("./"), manifest, false, controller, source, kLimit));
  EXPECT_EQ(testing::readFile("updater.exe"), "new");
  EXPECT_EQ(testing::readFile("updater_old.exe"), "running updater");
}

#ifndef _WIN32
TEST_F(UpdateRun, TheNewUpdaterKeepsTheOldOnesPermissions) {
  writeFile("updater.exe", "running updater");
  fs::permissions("updater.exe", fs::perms::owner_all);
  publish("./updater.exe", Bytes{'n', 'e', 'w'}, 0);
  deliver(controller, "0.compressed", container(generic, Bytes{'n', 'e', 'w'}));
  ASSERT_TRUE(getUpdates(scanDataSet("./"), manifest, false, controller, source, kLimit));
  EXPECT_EQ(testing::readFile("updater.exe"), "new");
  EXPECT_EQ(fs::status("updater.exe").permissions() & fs::perms::all, fs::perms::owner_all);
}
#endif

TEST_F(UpdateRun, DeletionFollowsTheScopeRules) {
  for (const char* path : {"data/quor/stale", "data/quor/kept", "data/other/x", "updater.log",
                           "editor_data/e", "saves/s", "settings/servers.config", "UPDATER.KEY"}) {
    writeFile(path, "x");
  }
  DataSet local = scanDataSet("./");
  manifest.files["./data/quor/kept"] = {1, 0, 0};
  deleteFiles(local, manifest, false);
  EXPECT_FALSE(fs::exists("data/quor/stale"));
  // The key, in whatever case a folder that ignores case lists it.
  for (const char* kept : {"data/quor/kept", "data/other/x", "updater.log", "editor_data/e",
                           "saves/s", "settings/servers.config", "UPDATER.KEY"}) {
    EXPECT_TRUE(fs::exists(kept)) << kept;
  }
  EXPECT_EQ(log.count(": ... 1 deleted\n"), 1);
  deleteFiles(local, manifest, true);
  EXPECT_FALSE(fs::exists("saves/s"));
  EXPECT_FALSE(fs::exists("settings/servers.config"));
  EXPECT_TRUE(fs::exists("data/other/x") && fs::exists("updater.log") &&
              fs::exists("editor_data/e"));
}

TEST_F(UpdateRun, FoldersAndEmptyFilesAreCreated) {
  writeFile("a/b/c.txt", "content to be emptied");
  manifest.folders = {"./x", "./x/y/z"};
  manifest.emptyFiles = {"./a/b/c.txt", "./x/e.txt"};
  createFoldersAndEmptyFiles(manifest, false);
  EXPECT_TRUE(fs::is_directory("x/y/z"));
  EXPECT_EQ(fs::file_size("a/b/c.txt"), 0u);
  EXPECT_EQ(fs::file_size("x/e.txt"), 0u);
  writeFile("blocker", "a file where a folder should be");
  manifest.folders = {"./blocker/inside"};
  manifest.emptyFiles = {"./x"};  // a folder where a file should be
  createFoldersAndEmptyFiles(manifest, false);
  EXPECT_EQ(log.count("cannot create folder ./blocker/inside"), 1);
  EXPECT_EQ(log.count("cannot create empty file ./x"), 1);
}

TEST_F(UpdateRun, EmptyFilesNeverClearAPlayersProtectedFile) {
  writeFile("settings/keys.cfg", "the player's own keys");
  manifest.emptyFiles = {"./settings/keys.cfg", "./settings/new.cfg"};
  createFoldersAndEmptyFiles(manifest, false);
  EXPECT_EQ(testing::readFile("settings/keys.cfg"), "the player's own keys");
  EXPECT_TRUE(fs::exists("settings/new.cfg"));
  createFoldersAndEmptyFiles(manifest, true);
  EXPECT_EQ(fs::file_size("settings/keys.cfg"), 0u);
}

TEST_F(UpdateRun, NoConnectionMeansNoManifestAtOnce) {
  EXPECT_FALSE(fetchManifest(controller, source, kShortLimit));
  EXPECT_EQ(log.count("no connection to an update server: nothing was updated"), 1);
}

}  // namespace
}  // namespace quor
