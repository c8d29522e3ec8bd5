#include "server/server_options.h"

#include "platform/native_path.h"

namespace quor {
namespace {

constexpr size_t kMaxPeerSlots = 4095;  // ENet's largest peer id
constexpr unsigned long kMaxIdleSeconds = 86400;

// A whole decimal number within [low, high]; nothing else is accepted.
bool parseNumber(const std::string& text, unsigned long low, unsigned long high,
                 unsigned long& value) {
  if (text.empty() || text.size() > 9) return false;
  value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + static_cast<unsigned long>(c - '0');
  }
  return value >= low && value <= high;
}

}  // namespace

Status parseServerOptions(const std::vector<std::string>& args, ServerOptions& options) {
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--no-ranges") {
      options.ranges = false;
      continue;
    }
    if (arg != "--port" && arg != "--data" && arg != "--peers" && arg != "--per-address" &&
        arg != "--per-player" && arg != "--idle-seconds" && arg != "--stall-seconds" &&
        arg != "--metrics") {
      return Status::invalid("unknown option " + arg);
    }
    if (i + 1 == args.size()) return Status::invalid(arg + " needs a value");
    const std::string& value = args[++i];
    unsigned long number = 0;
    if (arg == "--metrics") {
      size_t colon = value.rfind(':');
      if (colon == std::string::npos || colon == 0 ||
          !parseNumber(value.substr(colon + 1), 0, 65535, number)) {
        return Status::invalid("--metrics takes ADDRESS:PORT, such as 127.0.0.1:9477");
      }
      options.metricsAddress = value.substr(0, colon);
      options.metricsPort = static_cast<uint16_t>(number);
    } else if (arg == "--data") {
      if (value.empty()) return Status::invalid("--data needs a folder");
      options.dataFolder = pathFromArgument(value.c_str());
    } else if (arg == "--port") {
      if (!parseNumber(value, 1, 65535, number)) return Status::invalid("--port takes a number from 1 to 65535");
      options.port = static_cast<uint16_t>(number);
    } else if (arg == "--idle-seconds") {
      if (!parseNumber(value, 1, kMaxIdleSeconds, number)) {
        return Status::invalid("--idle-seconds takes a number from 1 to 86400");
      }
      options.idleSeconds = static_cast<uint32_t>(number);
    } else if (arg == "--stall-seconds") {
      if (!parseNumber(value, 1, kMaxIdleSeconds, number)) {
        return Status::invalid("--stall-seconds takes a number from 1 to 86400");
      }
      options.stallSeconds = static_cast<uint32_t>(number);
    } else {
      if (!parseNumber(value, 1, kMaxPeerSlots, number)) return Status::invalid(arg + " takes a number from 1 to 4095");
      size_t& target = arg == "--peers" ? options.peerSlots
                       : arg == "--per-address" ? options.perAddress
                                                : options.perPlayer;
      target = number;
    }
  }
  return {};
}

std::string serverUsage() {
  return std::string(
             "usage: update_server [--port N] [--data FOLDER] [--peers N] [--per-address N]\n"
             "                     [--per-player N] [--idle-seconds N] [--stall-seconds N]\n"
             "                     [--no-ranges] [--metrics ADDRESS:PORT]\n"
             "  --port N       UDP port to listen on (default 7777)\n"
             "  --data FOLDER  folder of the update data (default ") +
         kUpdateDataFolder + ")\n" +
         "  --peers N      number of connection slots, 1 to 4095 (default 4095)\n"
         "  --per-address N  connections one IP address may hold before extra ones are\n"
         "                 refused (a client's first one never is), 1 to 4095 (default 64)\n"
         "  --per-player N   connections one address and port (one client) may hold,\n"
         "                 1 to 4095 (default 16)\n"
         "  --idle-seconds N close a connection that has fetched nothing (keep-alives do\n"
         "                 not count), with no data queued or in flight, for N seconds,\n"
         "                 1 to 86400 (default 30)\n"
         "  --stall-seconds N close a connection whose data in flight drains at less\n"
         "                 than 8 KiB a second over N seconds, 1 to 86400 (default 20)\n"
         "  --no-ranges    serve whole files only, as a server without ranges does\n"
         "  --metrics ADDRESS:PORT  serve /metrics (Prometheus) and /healthz over HTTP\n"
         "                 there (Linux builds)\n";
}

}  // namespace quor
