// A source that reaches no server: every request is false and nothing ever
// comes, while it still counts as connected. For tests that place the
// answers in the controller themselves.
#pragma once

#include "update/update_source.h"

namespace quor::testing {

class NullSource final : public UpdateSource {
 public:
  bool sendHello() override { return false; }
  bool requestManifest() override { return false; }
  bool requestFile(const std::string&) override { return false; }
  bool requestRange(const std::string&, uint64_t, uint32_t) override { return false; }
  bool mayRequest(uint64_t) override { return true; }
  uint64_t bytesReceived() override { return 0; }
  bool connected() override { return true; }
};

}  // namespace quor::testing
