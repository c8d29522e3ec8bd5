#include "protocol/framing.h"

namespace quor {

std::optional<uint32_t> readMessageType(ByteSpan packet) {
  if (packet.size() < 4) return std::nullopt;
  return ByteReader(packet.data(), packet.size()).u32();
}

}  // namespace quor
