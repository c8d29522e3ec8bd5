// What checking a signed update costs: reads one file with hashFile (the
// size and SHA-256 a signed update checks, through the system's crypto
// library) and with fileChecksum (the 32-bit MD5 fold every update already
// checks), best of REPEATS each, and prints both throughputs, the seconds
// per GiB and their ratio. The file should be in the page cache.
// Usage: verify_bench FILE [REPEATS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>

#include "dataset/md5.h"
#include "dataset/signature_file.h"

namespace {

// The fastest of repeats runs of work, in seconds.
double bestSeconds(int repeats, const std::function<void()>& work) {
  double best = 1e30;
  for (int i = 0; i < repeats; ++i) {
    auto start = std::chrono::steady_clock::now();
    work();
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  return best;
}

void print(const char* what, double bytes, double seconds) {
  constexpr double kGiB = 1024.0 * 1024.0 * 1024.0;
  std::printf("%-22s %8.1f MB/s  %6.2f s/GiB\n", what, bytes / seconds / 1e6,
              seconds * kGiB / bytes);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [REPEATS]\n", argv[0]);
    return 2;
  }
  int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  double bytes = static_cast<double>(std::filesystem::file_size(argv[1]));
  bool hashed = true;
  double sha256 = bestSeconds(repeats, [&] {
    quor::SignedFile file;
    hashed = hashed && quor::hashFile(argv[1], &file).ok();
  });
  if (!hashed) {
    std::fprintf(stderr, "cannot read %s\n", argv[1]);
    return 1;
  }
  double md5 = bestSeconds(repeats, [&] { quor::fileChecksum(argv[1]); });
  print("SHA-256 (hashFile)", bytes, sha256);
  print("MD5 fold (fileChecksum)", bytes, md5);
  std::printf("ratio SHA-256 / MD5 time: %.2f\n", sha256 / md5);
  return 0;
}
