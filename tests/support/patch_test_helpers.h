// Helpers of the container and patch tests: capping the address space so
// that a buffer sized from a hostile length field fails loudly instead of
// quietly succeeding, and random bytes over a small alphabet.
#pragma once

#ifndef _WIN32
#include <sys/resource.h>
#include <unistd.h>
#endif

#include <cstdio>
#include <random>
#include <string>

#include "base/encoding.h"
#include "log/log.h"
#include "test_support.h"

namespace quor::testing {

// A sanitizer reserves its shadow memory as it goes: under a cap it fails
// itself, before the program's own allocation is tried.
#if defined(QUOR_SANITIZED_BUILD) || defined(_WIN32)
#define QUOR_TEST_NO_ADDRESS_LIMIT 1
#endif

// Limits the process's address space to what it uses now plus headroom,
// for the object's lifetime. Does nothing under the address sanitizer,
// which reserves huge ranges of its own, nor on Windows (no setrlimit).
class ScopedAddressSpaceLimit {
 public:
  explicit ScopedAddressSpaceLimit(size_t headroom) {
#ifndef QUOR_TEST_NO_ADDRESS_LIMIT
    getrlimit(RLIMIT_AS, &previous_);
    rlimit limited = previous_;
    limited.rlim_cur = static_cast<rlim_t>(currentAddressSpace() + headroom);
    active_ = setrlimit(RLIMIT_AS, &limited) == 0;
#else
    (void)headroom;
#endif
  }
  ~ScopedAddressSpaceLimit() {
#ifndef QUOR_TEST_NO_ADDRESS_LIMIT
    if (active_) setrlimit(RLIMIT_AS, &previous_);
#endif
  }
  ScopedAddressSpaceLimit(const ScopedAddressSpaceLimit&) = delete;
  // Whether the limit is in force (so a 4 GiB allocation would fail).
  bool active() const { return active_; }
  ScopedAddressSpaceLimit& operator=(const ScopedAddressSpaceLimit&) = delete;

 private:
#ifndef QUOR_TEST_NO_ADDRESS_LIMIT
  static size_t currentAddressSpace() {
    size_t pages = 0;
    if (FILE* statm = std::fopen("/proc/self/statm", "r")) {
      if (std::fscanf(statm, "%zu", &pages) != 1) pages = 0;
      std::fclose(statm);
    }
    return pages * static_cast<size_t>(sysconf(_SC_PAGESIZE));
  }

  rlimit previous_{};
#endif
  bool active_ = false;
};

// size bytes, each one of the values 0 to alphabet - 1.
inline Bytes randomOver(size_t size, int alphabet, std::mt19937& random) {
  Bytes data(size);
  for (uint8_t& byte : data) byte = uint8_t(random() % alphabet);
  return data;
}

}  // namespace quor::testing
