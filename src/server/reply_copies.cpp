#include "server/reply_copies.h"

#include <cstring>
#include <new>

namespace quor {

ReplyCopy copyOfPacket(const std::vector<uint8_t>& bytes) {
  std::unique_ptr<uint8_t[]> copy(new (std::nothrow) uint8_t[bytes.size()]);
  if (!copy) return {};
  std::memcpy(copy.get(), bytes.data(), bytes.size());
  return {std::move(copy), bytes.size()};
}

std::shared_ptr<const ReplyCopy> ReplyCopies::find(const std::string& name, uint64_t size) {
  auto found = copies_.find(name);
  if (found == copies_.end()) return nullptr;
  std::shared_ptr<const ReplyCopy> copy = found->second.lock();
  if (!copy) {
    copies_.erase(found);
    return nullptr;
  }
  // A file that changed size since the copy was made is read again.
  return copy->size == size ? copy : nullptr;
}

void ReplyCopies::keep(const std::string& name, const std::shared_ptr<const ReplyCopy>& copy) {
  copies_[name] = copy;
}

}  // namespace quor
