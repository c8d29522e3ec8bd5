#include "create/deferred_log.h"

#include "log/log.h"

namespace quor {

void DeferredLog::replay() const {
  for (const Entry& entry : entries_) {
    if (entry.error) {
      logError(entry.text);
    } else {
      logLine(entry.text);
    }
  }
}

}  // namespace quor
