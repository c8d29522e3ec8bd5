// Every pause of the program goes through sleepMs, so tests can replace it.
#pragma once

#include <cstdint>
#include <functional>

namespace quor {

void sleepMs(uint32_t milliseconds);

// Replaces the sleep for the whole process (tests); an empty function
// restores the real one.
void setSleepFunction(std::function<void(uint32_t)> sleep);

}  // namespace quor
