// Create mode benchmark helper, driven by bench/create_bench.sh:
//
//   create_bench create BUILD OLD THREADS  publish BUILD against OLD with
//                                          THREADS threads (0: one per core)
//                                          and print the seconds it took
//   create_bench sort FILE                 suffix-sort FILE with our own sort
//                                          and libdivsufsort's, check that the
//                                          arrays agree, print both seconds
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "create/create_mode.h"
#include "dataset/dataset.h"
#include "log/log.h"
#include "patch/suffix_sort.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

int create(const char* build, const char* old, const char* threads) {
  std::string oldFolder = std::filesystem::absolute(old).generic_string();
  std::filesystem::current_path(build);
  quor::startLog("../create_bench.log");
  quor::DataSet set = quor::scanDataSet("./");
  Clock::time_point start = Clock::now();
  bool published = quor::createUpdateData(set, {oldFolder}, quor::kPatchMemoryBudget,
                                          unsigned(std::atoi(threads)));
  double seconds = secondsSince(start);
  quor::flushLog();
  if (!published) return 1;
  std::printf("%.2f\n", seconds);
  return 0;
}

template <typename Sort>
double timed(Sort sort, std::vector<int32_t>& I, std::vector<int32_t>& V,
             const std::vector<uint8_t>& text) {
  Clock::time_point start = Clock::now();
  sort(I.data(), V.data(), text.data(), int32_t(text.size()));
  return secondsSince(start);
}

int sort(const char* path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return 2;
  std::vector<uint8_t> text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (text.size() >= size_t(INT32_MAX)) return 2;
  std::vector<int32_t> ownI(text.size() + 1), ownV(text.size() + 1);
  std::vector<int32_t> libraryI(text.size() + 1), libraryV(text.size() + 1);
  double own = timed(quor::ownSuffixSort<int32_t>, ownI, ownV, text);
  bool sorted = true;
  double library = timed(
      [&sorted](int32_t* I, int32_t* V, const uint8_t* O, int32_t n) {
        sorted = quor::librarySuffixSort(I, V, O, n);
      },
      libraryI, libraryV, text);
  if (!sorted) {
    std::fprintf(stderr, "this build has no libdivsufsort\n");
    return 1;
  }
  if (ownI != libraryI || ownV != libraryV) {
    std::fprintf(stderr, "the sorts disagree\n");
    return 1;
  }
  std::printf("%.2f %.2f\n", own, library);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::string command = argc > 1 ? argv[1] : "";
  if (command == "create" && argc == 5) return create(argv[2], argv[3], argv[4]);
  if (command == "sort" && argc == 3) return sort(argv[2]);
  std::fprintf(stderr, "usage: create_bench create BUILD OLD THREADS | sort FILE\n");
  return 2;
}
