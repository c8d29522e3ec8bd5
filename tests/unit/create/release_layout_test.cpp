#include "create/release_layout.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "dataset/layout.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::readFile;
using testing::writeFile;
namespace fs = std::filesystem;

// SHA-256("abc") begins ba7816bf8f01cfea, SHA-256("abcd") 88d4266fd4e6338d.
constexpr const char* kFirstId = "ba7816bf8f01cfea";
constexpr const char* kSecondId = "88d4266fd4e6338d";

class ReleaseLayout : public ::testing::Test {
 protected:
  // A create run's output: it always starts from an empty update_data/.
  void writeBuild(const std::string& manifest, const std::string& data) {
    fs::remove_all(kUpdateDataFolder);
    writeFile(std::string(kUpdateDataFolder) + kManifestName, manifest);
    writeFile(std::string(kUpdateDataFolder) + "0.compressed", data);
  }
  std::string release(const std::string& id, const std::string& name) {
    return std::string(kReleasesFolder) + id + "/" + name;
  }
  std::string pointer() { return readFile(std::string(kReleasesFolder) + kCurrentReleaseName); }

  testing::TempDir dir;
  testing::ScopedCurrentDir here{dir.path()};
};

TEST_F(ReleaseLayout, EachBuildIsKeptAsItsOwnReleaseAndThePointerNamesTheNewest) {
  writeBuild("abc", "first");
  std::string id;
  ASSERT_TRUE(publishRelease(&id).ok());
  EXPECT_EQ(id, kFirstId);
  EXPECT_TRUE(isReleaseId(id));
  EXPECT_EQ(readFile(release(id, kManifestName)), "abc");
  EXPECT_EQ(readFile(release(id, "0.compressed")), "first");
  EXPECT_EQ(pointer(), std::string(kFirstId) + "\n");

  // The next run rewrites update_data/; the first release keeps its bytes.
  writeBuild("abcd", "second");
  writeFile(std::string(kUpdateDataFolder) + "0.patch", "patch");
  ASSERT_TRUE(publishRelease(&id).ok());
  EXPECT_EQ(id, kSecondId);
  EXPECT_EQ(readFile(release(kFirstId, "0.compressed")), "first");
  EXPECT_FALSE(fs::exists(release(kFirstId, "0.patch")));
  EXPECT_EQ(readFile(release(kSecondId, "0.compressed")), "second");
  EXPECT_EQ(readFile(release(kSecondId, "0.patch")), "patch");
  EXPECT_EQ(pointer(), std::string(kSecondId) + "\n");

  // The same build again, then the first again (a rollback): the folders
  // already there stay as they are, and the pointer follows.
  ASSERT_TRUE(publishRelease(&id).ok());
  EXPECT_EQ(pointer(), std::string(kSecondId) + "\n");
  writeBuild("abc", "first, rebuilt");
  ASSERT_TRUE(publishRelease(&id).ok());
  EXPECT_EQ(readFile(release(kFirstId, "0.compressed")), "first");
  EXPECT_EQ(pointer(), std::string(kFirstId) + "\n");
  size_t entries = 0;
  for (const auto& entry : fs::directory_iterator(kReleasesFolder)) {
    (void)entry;
    ++entries;
  }
  EXPECT_EQ(entries, 3u);  // two releases and the pointer: nothing partial left

  EXPECT_FALSE(isReleaseId("BA7816BF8F01CFEA"));
  EXPECT_FALSE(isReleaseId("ba7816bf8f01cfe"));
  EXPECT_FALSE(isReleaseId(std::string(kFirstId) + "\n"));
  EXPECT_FALSE(isReleaseId("ba7816bf8f01cfeg"));
}

TEST_F(ReleaseLayout, AReleaseThatCannotBeWrittenFailsAndLeavesThePointer) {
  std::string id = "unset";
  EXPECT_FALSE(publishRelease(&id).ok());  // no manifest
  EXPECT_EQ(id, "unset");

  writeBuild("abc", "first");
  ASSERT_TRUE(publishRelease(&id).ok());
  // Something that is no folder where the next release must go.
  writeFile(std::string(kReleasesFolder) + kSecondId, "in the way");
  writeBuild("abcd", "second");
  Status status = publishRelease(&id);
  EXPECT_FALSE(status.ok());
  EXPECT_NE(status.message().find(kSecondId), std::string::npos) << status.message();
  EXPECT_EQ(id, kFirstId);
  EXPECT_EQ(pointer(), std::string(kFirstId) + "\n");
  EXPECT_FALSE(fs::exists(std::string(kReleasesFolder) + kSecondId + ".partial"));

  fs::remove_all("server_data/releases");
  writeFile("server_data/releases", "a file");
  EXPECT_FALSE(publishRelease(&id).ok());
  EXPECT_EQ(readFile("server_data/releases"), "a file");
}

}  // namespace
}  // namespace quor
