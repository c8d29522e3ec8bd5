#include <gtest/gtest.h>

#include <filesystem>

#include "app/options.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::LogCapture;
using testing::RecordedSleeps;
using testing::ScopedCurrentDir;
using testing::TempDir;

// Parses, then carries out the steps, as the program does.
ScanOutcome scan(std::vector<const char*> argv, Options& options) {
  CommandLine line = parseCommandLine(static_cast<int>(argv.size()), argv.data());
  options = line.options;
  return carryOutOptionSteps(line.steps);
}

class OptionsArguments : public ::testing::Test {
 protected:
  TempDir dir;
  ScopedCurrentDir here{dir.path()};
  LogCapture log;
  RecordedSleeps sleeps;
  Options options;
};

TEST_F(OptionsArguments, NoOptionsMeansUpdateModeWithTheProgramPathAlone) {
  EXPECT_EQ(scan({"updater.exe"}, options), ScanOutcome::kRun);
  EXPECT_EQ(options.argumentLine, "updater.exe ");
  EXPECT_FALSE(options.startGame || options.createMode || options.fullUpdate);
  EXPECT_EQ(log.text(), ": ## Starting log\n");
}

TEST_F(OptionsArguments, EachOptionLogsItsLineAndSetsItsFlag) {
  EXPECT_EQ(scan({"u", "--quor", "--full", "-h", "--HELP", "--hel", "--quor=1"}, options),
            ScanOutcome::kRun);
  EXPECT_TRUE(options.startGame);
  EXPECT_TRUE(options.fullUpdate);
  EXPECT_EQ(options.argumentLine, "u --quor --full -h --HELP --hel --quor=1 ");
  std::string text = log.text();
  EXPECT_NE(text.find(": --quor - start game after update\n"), std::string::npos);
  EXPECT_NE(text.find(": --full - updates and deletes also files that aren't usually updated, "
                      "like settings, saves, server and editor data ()\n"),
            std::string::npos);
  EXPECT_TRUE(sleeps.pauses().empty());
}

TEST_F(OptionsArguments, SigningOptionsTakeTheirValuesAndRefuseUnusableOnes) {
  EXPECT_EQ(scan({"u", "--keygen", "--version", "42", "--create", "--sign", "k/publisher.key",
                  "--expires", "7"},
                 options),
            ScanOutcome::kRun);
  EXPECT_TRUE(options.keygen && options.createMode);
  EXPECT_EQ(options.signing.privateKeyFile, "k/publisher.key");
  EXPECT_EQ(options.signing.version, 42u);
  EXPECT_EQ(options.signing.expiryDays, 7u);
  EXPECT_NE(log.text().find(": --keygen - write a new key pair"), std::string::npos);
  EXPECT_EQ(scan({"u", "--sign", "a.key"}, options), ScanOutcome::kRun);
  EXPECT_FALSE(options.signing.version.has_value());
  EXPECT_EQ(options.signing.expiryDays, kDefaultExpiryDays);
  for (auto [argv, line] : std::vector<std::pair<std::vector<const char*>, std::string>>{
           {{"u", "--sign"}, "--sign needs a value"},
           {{"u", "--version", "12x", "--quor"}, "--version 12x is not a usable number"},
           {{"u", "--version", "18446744073709551616"},
            "--version 18446744073709551616 is not a usable number"},
           {{"u", "--expires", "0"}, "--expires 0 is not a usable number"},
           {{"u", "--expires", "36501"}, "--expires 36501 is not a usable number"}}) {
    EXPECT_EQ(scan(argv, options), ScanOutcome::kBadValue) << line;
    EXPECT_NE(log.text().find(": " + line + "? use --help\n"), std::string::npos) << line;
    EXPECT_FALSE(options.startGame);
  }
}

// Options with a value take it from the next argument, which the restart
// line keeps; a missing or out-of-range value stops the scan with a line.
TEST_F(OptionsArguments, ValuesAreCheckedAndKeptForTheRestart) {
  EXPECT_EQ(scan({"u", "--connections", "16", "--quor"}, options), ScanOutcome::kRun);
  EXPECT_EQ(options.connections, 16u);
  EXPECT_TRUE(options.startGame);
  EXPECT_EQ(options.argumentLine, "u --connections 16 --quor ");
  for (const char* bad : {"0", "17", "-1", "4x", "", "99999999999999999999"}) {
    Options refused;
    EXPECT_EQ(scan({"u", "--connections", bad, "--quor"}, refused), ScanOutcome::kBadValue) << bad;
    EXPECT_FALSE(refused.startGame) << bad;
  }
  EXPECT_EQ(scan({"u", "--connections"}, options), ScanOutcome::kBadValue);
  EXPECT_EQ(scan({"u", "--limit-rate", "2M"}, options), ScanOutcome::kRun);
  EXPECT_EQ(options.limitRate, 2u << 20);
  EXPECT_EQ(scan({"u", "--limit-rate", "2MB"}, options), ScanOutcome::kBadValue);
  EXPECT_EQ(log.count(": --connections needs a number from 1 to 16? use --help\n"), 7);
}

TEST_F(OptionsArguments, HelpStopsTheScanAfterEarlierEffects) {
  std::filesystem::create_directories("server_data/update_data/x");
  EXPECT_EQ(scan({"u", "--create", "--help", "--quor"}, options), ScanOutcome::kHelp);
  EXPECT_FALSE(std::filesystem::exists("server_data/update_data"));
  EXPECT_TRUE(std::filesystem::exists("server_data"));
  EXPECT_FALSE(options.startGame);
  std::string text = log.text();
  EXPECT_NE(text.find(": --create - no update, but create manifest and patches\n"
                      ": --quor - start game after update\n"
                      ": --create - create update data into server_data/update_data/\n"
                      ": --old - next parameter specifies path to old quor folder\n"
                      ": --full - updates"),
            std::string::npos)
      << text;
  Options again;
  EXPECT_EQ(scan({"u", "--h"}, again), ScanOutcome::kHelp);
}

TEST_F(OptionsArguments, PatchMemoryTakesMebibytesFromOneTo1TiB) {
  EXPECT_EQ(scan({"u", "--patch-memory", "64", "--create"}, options), ScanOutcome::kRun);
  EXPECT_EQ(options.patchMemoryBudget, uint64_t(64) << 20);
  EXPECT_TRUE(options.createMode);
  Options unset;
  EXPECT_EQ(scan({"u", "--create"}, unset), ScanOutcome::kRun);
  EXPECT_EQ(unset.patchMemoryBudget, kPatchMemoryBudget);
  for (const char* count : {"0", "12x", "-5", "", "1048577", "--create"}) {
    Options bad;
    EXPECT_EQ(scan({"u", "--patch-memory", count, "--quor"}, bad), ScanOutcome::kBadValue)
        << count;
    EXPECT_FALSE(bad.startGame);
  }
  Options missing;
  EXPECT_EQ(scan({"u", "--patch-memory"}, missing), ScanOutcome::kBadValue);
  EXPECT_EQ(log.count(": --patch-memory needs MiB from 1 to 1048576? use --help\n"), 7);
}

TEST_F(OptionsArguments, OldPathIsNormalisedAndChecked) {
  std::filesystem::create_directories("old");
  EXPECT_EQ(scan({"u", "--old", "old/"}, options), ScanOutcome::kRun);
  EXPECT_EQ(options.oldPaths, std::vector<std::string>{"old"});
  EXPECT_EQ(options.argumentLine, "u --old old/ ");  // the path is scanned too
  Options several;
  EXPECT_EQ(scan({"u", "--old", "old", "--old", "old\\"}, several), ScanOutcome::kRun);
  EXPECT_EQ(several.oldPaths, (std::vector<std::string>{"old", "old"}));
  std::vector<const char*> tooMany{"u"};
  for (size_t i = 0; i <= kMaxOldBuilds; ++i) tooMany.insert(tooMany.end(), {"--old", "old"});
  Options crowded;
  EXPECT_EQ(scan(tooMany, crowded), ScanOutcome::kBadValue);
  EXPECT_EQ(normaliseOldPath("C:\\games\\old\\"), "C:/games/old");
  EXPECT_EQ(normaliseOldPath("old//"), "old/");
  EXPECT_EQ(normaliseOldPath(""), "");

  testing::writeFile("somefile", "x");
  Options file;
  EXPECT_EQ(scan({"u", "--old", "somefile"}, file), ScanOutcome::kOldPathNotFolder);
  Options missing;
  EXPECT_EQ(scan({"u", "--old"}, missing), ScanOutcome::kMissingOldPath);
  std::string text = log.text();
  EXPECT_NE(text.find(": old path is not directory? use --help\n"), std::string::npos);
  EXPECT_NE(text.find(": missing old path? use --help\n"), std::string::npos);
}

TEST_F(OptionsArguments, ThreadsTakesACountFromOneTo256) {
  EXPECT_EQ(scan({"u", "--create", "--threads", "3"}, options), ScanOutcome::kRun);
  EXPECT_EQ(options.threads, 3u);
  Options unset;
  EXPECT_EQ(scan({"u", "--create"}, unset), ScanOutcome::kRun);
  EXPECT_EQ(unset.threads, 0u);  // one per core
  for (const char* count : {"0", "257", "2x", "-1", "", "99999999999"}) {
    Options bad;
    EXPECT_EQ(scan({"u", "--threads", count, "--quor"}, bad), ScanOutcome::kBadValue)
        << count;
    EXPECT_FALSE(bad.startGame);
  }
  Options missing;
  EXPECT_EQ(scan({"u", "--threads"}, missing), ScanOutcome::kBadValue);
  EXPECT_EQ(log.count(": --threads needs a count from 1 to 256? use --help\n"), 7);
}

TEST_F(OptionsArguments, EncodingsAndZstdLevelInEitherOrder) {
  EXPECT_EQ(scan({"u", "--create", "--zstd-level", "7", "--encodings", "zstd"}, options),
            ScanOutcome::kRun);
  EXPECT_FALSE(options.encodings.classic);
  EXPECT_TRUE(options.encodings.zstd);
  EXPECT_EQ(options.encodings.zstdLevel, 7);
  Options classic;
  EXPECT_EQ(scan({"u", "--encodings", "classic", "--zstd-level", "22"}, classic), ScanOutcome::kRun);
  EXPECT_TRUE(classic.encodings.classic && !classic.encodings.zstd);
  EXPECT_EQ(classic.encodings.zstdLevel, 22);
  Options unset;
  EXPECT_EQ(scan({"u", "--create"}, unset), ScanOutcome::kRun);
  EXPECT_TRUE(unset.encodings.classic && unset.encodings.zstd);
  EXPECT_EQ(unset.encodings.zstdLevel, kDefaultZstdLevel);
  for (std::vector<std::string> bad :
       {std::vector<std::string>{"u", "--encodings", "lzma"}, {"u", "--encodings"},
        {"u", "--zstd-level", "0"}, {"u", "--zstd-level", "23"}, {"u", "--zstd-level"}}) {
    Options refused;
    std::vector<const char*> args;
    for (const std::string& arg : bad) args.push_back(arg.c_str());
    EXPECT_EQ(scan(args, refused), ScanOutcome::kBadValue) << bad[1];
  }
  EXPECT_EQ(log.count(": --encodings needs both, classic or zstd? use --help\n"), 2);
  EXPECT_EQ(log.count(": --zstd-level needs a level from 1 to 22? use --help\n"), 3);
}

TEST_F(OptionsArguments, ParsingAloneLogsRemovesAndPausesNothing) {
  std::filesystem::create_directories("server_data/update_data/x");
  std::vector<const char*> argv = {"u", "--create", "--wait", "--quor", "--old", "missing"};
  CommandLine line = parseCommandLine(static_cast<int>(argv.size()), argv.data());
  EXPECT_TRUE(line.options.createMode && line.options.startGame);
  EXPECT_EQ(line.steps.size(), 4u);
  EXPECT_TRUE(std::filesystem::exists("server_data/update_data/x"));
  EXPECT_TRUE(sleeps.pauses().empty());
  EXPECT_EQ(log.text(), ": ## Starting log\n");
}

TEST_F(OptionsArguments, WaitPausesEachTimeItIsGiven) {
  EXPECT_EQ(scan({"u", "--wait", "--wait"}, options), ScanOutcome::kRun);
  EXPECT_EQ(sleeps.pauses(), (std::vector<uint32_t>{24000, 24000}));
  EXPECT_EQ(log.count("--wait - wait 24s to get some chance to connect to this when attaching "
                      "debugger"),
            2);
  EXPECT_EQ(log.count(" N - "), 0) << "--wait logs its own line, not the help";
}

TEST_F(OptionsArguments, CreateReportsAFolderItCannotRemove) {
  if (!testing::fileModesEnforced()) GTEST_SKIP() << "file modes do not keep this process out";
  std::filesystem::create_directories("server_data/update_data/inner");
  std::filesystem::permissions("server_data/update_data", std::filesystem::perms::owner_read |
                                                              std::filesystem::perms::owner_exec);
  EXPECT_EQ(scan({"u", "--create"}, options), ScanOutcome::kFileSystemError);
  EXPECT_NE(log.text().find("cannot remove server_data/update_data/"), std::string::npos);
}

}  // namespace
}  // namespace quor
