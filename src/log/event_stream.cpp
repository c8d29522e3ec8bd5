#include "log/event_stream.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "log/log.h"
#include "platform/native_path.h"

namespace quor {

Status openEventStream(const std::string& target) {
  if (target == "-") {
    attachEventStream(stdout, true);
    return {};
  }
  std::FILE* file = openFile(target, "ab");
  if (file == nullptr) {
    return Status::ioError("cannot open the event stream " + target + ": " + std::strerror(errno));
  }
  attachEventStream(file, false);
  return {};
}

void emitEvent(const char* name, nlohmann::json fields) {
  if (!eventStreamAttached()) return;
  nlohmann::json event = {{"event", name}};
  event.update(fields);
  queueEvent(event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace quor
