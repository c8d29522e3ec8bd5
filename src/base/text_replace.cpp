#include "base/text_replace.h"

namespace quor {

bool replaceFirst(std::string& text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) return false;
  size_t at = text.find(pattern);
  if (at == std::string::npos) return false;
  text.replace(at, pattern.size(), replacement);
  return true;
}

void replaceAll(std::string& text, std::string_view pattern, std::string_view replacement) {
  if (pattern.empty()) return;
  // A replacement that holds the pattern would be found again forever:
  // then each replacement is passed over. Otherwise a new occurrence can
  // only begin inside what was just replaced, so the search resumes there
  // and the result is that of searching from the start every time.
  bool holdsPattern = replacement.find(pattern) != std::string_view::npos;
  size_t at = 0;
  while ((at = text.find(pattern, at)) != std::string::npos) {
    text.replace(at, pattern.size(), replacement);
    if (holdsPattern) {
      at += replacement.size();
    } else {
      at = at >= pattern.size() - 1 ? at - (pattern.size() - 1) : 0;
    }
  }
}

}  // namespace quor
