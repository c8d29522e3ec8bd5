#include <gtest/gtest.h>

#include <sstream>

#include "base/encoding.h"
#include "dataset/manifest.h"

namespace quor {
namespace {

Manifest sampleManifest() {
  Manifest manifest;
  manifest.datasetChecksum = 0xDEADBEEF;
  manifest.folders = {"./data", "./data/quor"};
  manifest.emptyFiles = {"./data/quor/empty.txt"};
  manifest.files["./data/quor/a.bin"] = {503268352, 17, 0};
  manifest.files["./quor.exe"] = {1, 0, 1};
  return manifest;
}

void expectEqual(const Manifest& a, const Manifest& b) {
  EXPECT_EQ(a.datasetChecksum, b.datasetChecksum);
  EXPECT_EQ(a.folders, b.folders);
  EXPECT_EQ(a.emptyFiles, b.emptyFiles);
  ASSERT_EQ(a.files.size(), b.files.size());
  for (const auto& [path, entry] : a.files) {
    ASSERT_TRUE(b.files.count(path)) << path;
    EXPECT_EQ(entry.checksum, b.files.at(path).checksum);
    EXPECT_EQ(entry.patchBaseChecksum, b.files.at(path).patchBaseChecksum);
    EXPECT_EQ(entry.fileNumber, b.files.at(path).fileNumber);
  }
}

TEST(Manifest, RoundTripsThroughItsFileForm) {
  Manifest manifest = sampleManifest();
  std::ostringstream out;
  ASSERT_TRUE(writeManifest(out, manifest).ok());
  std::string bytes = out.str();
  Manifest read = readManifest(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
  EXPECT_TRUE(read.complete);
  expectEqual(manifest, read);
}

TEST(Manifest, EmptyManifestIs24Bytes) {
  Manifest manifest;
  manifest.datasetChecksum = 5;
  EXPECT_EQ(encodeManifest(manifest),
            (Bytes{0, 0, 0, 0, 10, 0, 0, 0, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  Manifest read = readManifest(nullptr, 0);
  EXPECT_FALSE(read.complete);
  EXPECT_EQ(read.datasetChecksum, 0u);
  EXPECT_TRUE(read.folders.empty() && read.emptyFiles.empty() && read.files.empty());
}

TEST(Manifest, LayoutOfOneRecord) {
  Manifest manifest;
  manifest.files["./a"] = {1, 2, 3};
  Bytes bytes = encodeManifest(manifest);
  Bytes tail(bytes.begin() + 20, bytes.end());
  EXPECT_EQ(tail, (Bytes{1, 0, 0, 0, '.', '/', 'a', 0, 1, 0, 0, 0, 2, 0, 0, 0, 3, 0, 0, 0}));
}

TEST(Manifest, TruncatedInputKeepsWhatWasReadAndIsIncomplete) {
  Bytes bytes = encodeManifest(sampleManifest());
  // Cut in the middle of the second folder's text.
  size_t cut = 16 + std::string("./data").size() + 1 + 5;
  Manifest read = readManifest(bytes.data(), cut);
  EXPECT_FALSE(read.complete);
  ASSERT_EQ(read.folders.size(), 2u);
  EXPECT_EQ(read.folders[1], "./dat");
  EXPECT_TRUE(read.emptyFiles.empty());
  EXPECT_TRUE(read.files.empty());

  // Every shorter prefix reads without error and is incomplete.
  for (size_t size = 0; size < bytes.size(); ++size) {
    EXPECT_FALSE(readManifest(bytes.data(), size).complete) << size;
  }
}

TEST(Manifest, HugeCountsReturnAtOnce) {
  Bytes bytes = {0, 0, 0, 0, 10, 0, 0, 0, 0, 0, 0, 0, 9, 0, 0, 0, 'a', 0, 'b', 0};
  Manifest read = readManifest(bytes.data(), bytes.size());
  EXPECT_FALSE(read.complete);
  EXPECT_EQ(read.folders, (std::vector<std::string>{"a", "b", ""}));

  ByteWriter files;
  for (uint32_t word : {0u, 10u, 0u, 0u, 0u, 0xFFFFFFFFu}) files.u32(word);
  files.text("./x");
  Bytes fileBytes = files.take();
  Manifest read2 = readManifest(fileBytes.data(), fileBytes.size());
  EXPECT_FALSE(read2.complete);
  EXPECT_TRUE(read2.files.empty());
}

TEST(Manifest, MoreEntriesThanAnyGameHasMakeItIncomplete) {
  ByteWriter out;
  for (uint32_t word : {0u, 10u, 0u, kMaxListElements + 1}) out.u32(word);
  Bytes bytes = out.take();
  bytes.resize(bytes.size() + kMaxListElements + 1, 0);  // every empty text present
  for (int i = 0; i < 8; ++i) bytes.push_back(0);        // two zero counts
  Manifest read = readManifest(bytes.data(), bytes.size());
  EXPECT_FALSE(read.complete);
  EXPECT_TRUE(read.folders.empty());
}

TEST(Manifest, RepeatedPathKeepsTheLaterRecord) {
  ByteWriter out;
  for (uint32_t word : {0u, 10u, 0u, 0u, 0u, 2u}) out.u32(word);
  out.text("./a");
  out.u32(1), out.u32(1), out.u32(1);
  out.text("./a");
  out.u32(2), out.u32(3), out.u32(4);
  Bytes bytes = out.take();
  Manifest read = readManifest(bytes.data(), bytes.size());
  EXPECT_TRUE(read.complete);
  ASSERT_EQ(read.files.size(), 1u);
  EXPECT_EQ(read.files["./a"].checksum, 2u);
  EXPECT_EQ(read.files["./a"].fileNumber, 4u);
}

TEST(Manifest, FailedStreamIsReported) {
  std::ostringstream out;
  out.setstate(std::ios::badbit);
  EXPECT_FALSE(writeManifest(out, sampleManifest()).ok());
}

}  // namespace
}  // namespace quor
