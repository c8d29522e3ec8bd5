#include "patch/suffix_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <numeric>
#include <random>
#include <string_view>

#include "base/encoding.h"
#include "patch_test_helpers.h"
#include "test_support.h"

namespace quor {
namespace {

using testing::randomOver;

std::string_view suffix(const Bytes& data, size_t at) {
  return std::string_view(reinterpret_cast<const char*>(data.data()) + at, data.size() - at);
}

// The suffix array by plain comparison sort, the empty suffix first.
std::vector<int64_t> naiveSuffixArray(const Bytes& data) {
  std::vector<int64_t> order(data.size() + 1);
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [&](int64_t a, int64_t b) {
    // string_view compares bytes as unsigned char.
    return suffix(data, size_t(a)) < suffix(data, size_t(b));
  });
  return order;
}

template <typename Index>
std::vector<int64_t> sorted(const Bytes& data) {
  std::vector<Index> I(data.size() + 1);
  std::vector<Index> V(data.size() + 1);
  suffixSort<Index>(I.data(), V.data(), data.data(), Index(data.size()));
  return std::vector<int64_t>(I.begin(), I.end());
}

void expectSortedCorrectly(const Bytes& data) {
  std::vector<int64_t> expected = naiveSuffixArray(data);
  EXPECT_EQ(sorted<int32_t>(data), expected);
  EXPECT_EQ(sorted<int64_t>(data), expected);
}

TEST(SuffixSort, RandomInputsAgainstNaiveSort) {
  std::mt19937 random(1);
  for (size_t size : {0, 1, 2, 3, 15, 16, 17, 31, 100, 1000, 5000}) {
    for (int alphabet : {1, 2, 3, 4, 256}) {
      SCOPED_TRACE(std::to_string(size) + " over " + std::to_string(alphabet));
      expectSortedCorrectly(randomOver(size, alphabet, random));
    }
  }
  // High byte values sort after low ones (bytes are unsigned).
  expectSortedCorrectly({0x80, 0x01, 0xFF, 0x00, 0x7F});
}

TEST(SuffixSort, RunsAndRepetitions) {
  std::mt19937 random(2);
  std::vector<Bytes> inputs;
  inputs.push_back(Bytes(5000, 'a'));
  inputs.push_back(Bytes(4097, 0));
  Bytes runThenRandom(3000, 0xFF);
  Bytes tail = randomOver(500, 256, random);
  runThenRandom.insert(runThenRandom.end(), tail.begin(), tail.end());
  inputs.push_back(runThenRandom);
  Bytes randomThenRun = tail;
  randomThenRun.resize(3500, 'z');
  inputs.push_back(randomThenRun);
  Bytes runs;  // runs of varying lengths of few values
  while (runs.size() < 6000) runs.resize(runs.size() + 1 + random() % 300, uint8_t(random() % 3));
  inputs.push_back(runs);
  Bytes periodic;
  for (int i = 0; i < 4000; ++i) periodic.push_back("abcab"[i % 5]);
  inputs.push_back(periodic);
  std::string a = "a";
  std::string b = "ab";
  while (b.size() < 5000) {  // Fibonacci word
    std::string next = b + a;
    a = b;
    b = next;
  }
  inputs.push_back(Bytes(b.begin(), b.end()));
  Bytes block = randomOver(700, 256, random);
  Bytes repeatedBlock;
  for (int i = 0; i < 6; ++i) repeatedBlock.insert(repeatedBlock.end(), block.begin(), block.end());
  inputs.push_back(repeatedBlock);

  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    expectSortedCorrectly(inputs[i]);
  }
}

// Both arrays from one sort, as the diff gets them.
template <typename Index>
std::pair<std::vector<Index>, std::vector<Index>> arrays(
    void (*sort)(Index*, Index*, const uint8_t*, Index), const Bytes& data) {
  std::vector<Index> I(data.size() + 1);
  std::vector<Index> V(data.size() + 1);
  sort(I.data(), V.data(), data.data(), Index(data.size()));
  return {I, V};
}

template <typename Index>
void libraryOnly(Index* I, Index* V, const uint8_t* O, Index n) {
  ASSERT_TRUE(librarySuffixSort(I, V, O, n));
}

// The first bytes of a real file.
Bytes fileStart(const std::string& path, size_t count) {
  std::ifstream in(path, std::ios::binary);
  Bytes bytes(count);
  in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(count));
  bytes.resize(size_t(in.gcount()));
  return bytes;
}

// libdivsufsort and our own sort give the same I and V, the only things
// the diff reads of a sort, so a patch has the same bytes whichever made
// it (tests/windows/e2e.sh compares whole data sets made with each).
TEST(SuffixSort, LibraryAndOwnSortGiveTheSameArrays) {
  if (!suffixSortHasLibrary()) GTEST_SKIP() << "this build has only its own sort";
  std::mt19937 random(3);
  std::vector<Bytes> inputs;
  inputs.push_back(Bytes(100000, 'a'));
  for (int alphabet : {2, 3, 4}) inputs.push_back(randomOver(100000, alphabet, random));
  Bytes block = randomOver(6000, 3, random);  // long repeats with a few edits
  Bytes repeats;
  for (int i = 0; i < 20; ++i) {
    repeats.insert(repeats.end(), block.begin(), block.end());
    repeats[repeats.size() - 1 - random() % block.size()] = uint8_t(random() % 3);
  }
  inputs.push_back(repeats);
  std::string a = "a";
  std::string b = "ab";
  while (b.size() < 100000) {  // Fibonacci word: repeats at every scale
    std::string next = b + a;
    a = b;
    b = next;
  }
  inputs.push_back(Bytes(b.begin(), b.end()));
  // A real pair: the two programs share most of their code.
  for (const std::string& program : {testing::updaterBinary(), testing::updateServerBinary()}) {
    inputs.push_back(fileStart(program, size_t(1) << 20));
    ASSERT_GT(inputs.back().size(), size_t(100000)) << program;
  }

  for (size_t i = 0; i < inputs.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(arrays<int32_t>(libraryOnly<int32_t>, inputs[i]),
              arrays<int32_t>(ownSuffixSort<int32_t>, inputs[i]));
    EXPECT_EQ(arrays<int64_t>(libraryOnly<int64_t>, inputs[i]),
              arrays<int64_t>(ownSuffixSort<int64_t>, inputs[i]));
  }
  EXPECT_EQ(arrays<int32_t>(suffixSort<int32_t>, inputs[0]),
            arrays<int32_t>(ownSuffixSort<int32_t>, inputs[0]));
  EXPECT_EQ(arrays<int32_t>(libraryOnly<int32_t>, Bytes{}), (std::pair{std::vector<int32_t>{0},
                                                                        std::vector<int32_t>{0}}));
}

}  // namespace
}  // namespace quor
