// The reply packets being sent, one copy of each in memory, shared by
// every peer that asks for the same file meanwhile: when a new version
// comes out, many players fetch the same large files at once, and one copy
// serves them all instead of one each.
//
// Not locked: used on the server thread only, where the last holder of a
// copy (a packet released by ENet inside the server's loop) also lets go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

namespace quor {

struct ReplyCopy {
  std::unique_ptr<uint8_t[]> bytes;
  size_t size = 0;
};

// A copy of bytes; no bytes when memory for them ran out.
ReplyCopy copyOfPacket(const std::vector<uint8_t>& bytes);

class ReplyCopies {
 public:
  // The copy of the reply for name, of size bytes, while some peer's
  // packet still holds it; none otherwise.
  std::shared_ptr<const ReplyCopy> find(const std::string& name, uint64_t size);

  // Offers copy to later requests for name. Only a reply that carries the
  // file is kept: a refusal is no copy of it.
  void keep(const std::string& name, const std::shared_ptr<const ReplyCopy>& copy);

 private:
  std::unordered_map<std::string, std::weak_ptr<const ReplyCopy>> copies_;
};

}  // namespace quor
