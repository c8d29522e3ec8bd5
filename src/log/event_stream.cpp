#include "log/event_stream.h"

#include <cerrno>
#include <charconv>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "log/log.h"
#include "platform/inherited_stream.h"
#include "platform/native_path.h"

namespace quor {
namespace {

// "fd:N": an output the parent handed down, N in decimal.
constexpr std::string_view kInheritedPrefix = "fd:";

std::FILE* openInherited(std::string_view number) {
  uint64_t value = 0;
  auto [end, error] = std::from_chars(number.data(), number.data() + number.size(), value);
  if (number.empty() || error != std::errc() || end != number.data() + number.size()) return nullptr;
  return openInheritedStream(value);
}

}  // namespace

Status openEventStream(const std::string& target) {
  if (target == "-") {
    attachEventStream(stdout, true);
    return {};
  }
  if (target.rfind(kInheritedPrefix, 0) == 0) {
    std::FILE* inherited = openInherited(std::string_view(target).substr(kInheritedPrefix.size()));
    if (inherited == nullptr) {
      return Status::invalid("the event stream " + target + " names no output open for writing");
    }
    attachEventStream(inherited, false);
    return {};
  }
  std::FILE* file = openFile(target, "ab");
  if (file == nullptr) {
    return Status::ioError("cannot open the event stream " + target + ": " + std::strerror(errno));
  }
  attachEventStream(file, false);
  return {};
}

std::string eventStreamFile(const std::string& target) {
  if (target == "-" || target.rfind(kInheritedPrefix, 0) == 0) return "";
  return target;
}

void emitEvent(const char* name, nlohmann::json fields) {
  if (!eventStreamAttached()) return;
  nlohmann::json event = {{"event", name}};
  event.update(fields);
  queueEvent(event.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace));
}

}  // namespace quor
