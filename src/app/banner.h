#pragma once

#include <array>
#include <string>

namespace quor {

// The seven lines shown at start, each exactly 53 characters.
const std::array<std::string, 7>& bannerLines();

}  // namespace quor
