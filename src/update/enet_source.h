// The update data set from an update server over ENet: an UpdateSource
// (update/update_source.h) made of the network client's sends
// (client/network_client.h). It holds nothing of its own: every call goes to
// the one client, so any thread may call it while the client exists, and
// without a connected client every request is false.
#pragma once

#include "update/update_source.h"

namespace quor {

class EnetSource final : public UpdateSource {
 public:
  bool sendHello() override;
  bool requestManifest() override;
  bool requestFile(const std::string& name) override;
  bool requestRange(const std::string& name, uint64_t offset, uint32_t length) override;
  bool mayRequest(uint64_t weight) override;
  uint64_t bytesReceived() override;
  bool connected() override;
};

}  // namespace quor
