#include "platform/sleep.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <chrono>
#include <thread>
#endif

namespace quor {
namespace {

std::function<void(uint32_t)>& replacement() {
  static std::function<void(uint32_t)> sleep;
  return sleep;
}

}  // namespace

void sleepMs(uint32_t milliseconds) {
  if (replacement()) {
    replacement()(milliseconds);
    return;
  }
#ifdef _WIN32
  Sleep(milliseconds);
#else
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
#endif
}

void setSleepFunction(std::function<void(uint32_t)> sleep) {
  replacement() = std::move(sleep);
}

}  // namespace quor
