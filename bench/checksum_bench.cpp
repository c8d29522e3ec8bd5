// Checksums one file with fileChecksum and prints the throughput.
// Usage: checksum_bench FILE [REPEATS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "dataset/md5.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [REPEATS]\n", argv[0]);
    return 2;
  }
  int repeats = argc > 2 ? std::atoi(argv[2]) : 3;
  double bytes = static_cast<double>(std::filesystem::file_size(argv[1]));
  double best = 1e30;
  int32_t checksum = 0;
  for (int i = 0; i < repeats; ++i) {
    auto start = std::chrono::steady_clock::now();
    checksum = quor::fileChecksum(argv[1]);
    std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (took.count() < best) best = took.count();
  }
  std::printf("%.1f MB/s (checksum %d, best of %d)\n", bytes / best / 1e6, checksum, repeats);
  return 0;
}
