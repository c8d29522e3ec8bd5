// In-place text replacement, used for path separators.
#pragma once

#include <string>
#include <string_view>

namespace quor {

// Replaces the first occurrence of pattern; false when there is none (or
// the pattern is empty).
bool replaceFirst(std::string& text, std::string_view pattern, std::string_view replacement);

// Replaces every occurrence, scanning left to right past each replacement,
// so it ends even when the replacement contains the pattern. An empty
// pattern changes nothing.
void replaceAll(std::string& text, std::string_view pattern, std::string_view replacement);

}  // namespace quor
