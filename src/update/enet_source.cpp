#include "update/enet_source.h"

#include "client/network_client.h"

namespace quor {

bool EnetSource::sendHello() { return sendRangeHello(); }
bool EnetSource::requestManifest() { return sendManifestRequest(); }
bool EnetSource::requestFile(const std::string& name) { return sendFileRequest(name); }
bool EnetSource::requestRange(const std::string& name, uint64_t offset, uint32_t length) {
  return sendFileRangeRequest(name, offset, length);
}
bool EnetSource::mayRequest(uint64_t weight) { return requestAllowed(weight); }
uint64_t EnetSource::bytesReceived() { return bytesReceivedFromServer(); }
bool EnetSource::connected() { return connectedToServer(); }

}  // namespace quor
