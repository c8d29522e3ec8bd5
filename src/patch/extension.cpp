#include "patch/extension.h"

namespace quor {

// An extension is worth its diff bytes only where its alignment matches
// well enough: scored as kGain per matching byte against rules.loss per
// other byte (see MatchRules).
constexpr int64_t kGain = 1;

int64_t forwardExtension(const DiffFiles& f, int64_t lastScan, int64_t lastPos, int64_t scan,
                         const MatchRules& rules) {
  int64_t score = 0;
  int64_t bestScore = 0;
  int64_t lenf = 0;
  for (int64_t i = 0; lastScan + i < scan && lastPos + i < f.n;) {
    score += f.O[lastPos + i] == f.N[lastScan + i] ? kGain : -rules.loss;
    ++i;
    if (score > bestScore) {
      bestScore = score;
      lenf = i;
    }
  }
  return lenf;
}

int64_t backwardExtension(const DiffFiles& f, int64_t lastScan, int64_t scan, int64_t pos,
                          const MatchRules& rules) {
  if (scan >= f.m) return 0;
  int64_t score = 0;
  int64_t bestScore = 0;
  int64_t lenb = 0;
  for (int64_t i = 1; scan >= lastScan + i && pos >= i; ++i) {
    score += f.O[pos - i] == f.N[scan - i] ? kGain : -rules.loss;
    if (score > bestScore) {
      bestScore = score;
      lenb = i;
    }
  }
  return lenb;
}

void splitOverlap(const DiffFiles& f, int64_t lastScan, int64_t lastPos, int64_t scan,
                  int64_t pos, int64_t& lenf, int64_t& lenb) {
  if (lastScan + lenf <= scan - lenb) return;
  int64_t overlap = (lastScan + lenf) - (scan - lenb);
  int64_t s = 0;
  int64_t bestScore = 0;
  int64_t lens = 0;
  for (int64_t i = 0; i < overlap; ++i) {
    if (f.N[lastScan + lenf - overlap + i] == f.O[lastPos + lenf - overlap + i]) ++s;
    if (f.N[scan - lenb + i] == f.O[pos - lenb + i]) --s;
    if (s > bestScore) {
      bestScore = s;
      lens = i + 1;
    }
  }
  lenf += lens - overlap;
  lenb -= lens;
}

}  // namespace quor
