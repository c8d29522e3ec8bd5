// A web server or CDN of the server list, made ready for an update run:
// the entry's URL checked against what the game folder trusts, the HTTP
// client made, and the folder of the release to fetch found.
//
// A published web folder holds one folder per release and a small
// pointer, "current", naming the release to fetch (docs/publisher-guide.md);
// it is asked for with "Cache-Control: no-cache", so a cache passes the
// origin's word on. A folder without the pointer is taken as a data set
// of its own. Every file of one release is then fetched from that
// release's folder, whose names no other release shares, so a cache that
// still holds an older release cannot mix the two.
//
// Blocks until the pointer's answer came (bounded by the client's connect
// and stall timeouts). The update mode's thread.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "base/status.h"
#include "platform/http_client.h"

namespace quor {

struct WebServer {
  std::unique_ptr<HttpClient> client;
  // The folder of the files of the release, ending in "/".
  std::string dataUrl;
};

// url: the entry's host line. signedOnly: the game folder accepts only
// signed updates. Plain http is refused without that: a 32-bit checksum
// cannot tell a forged file from a real one, and anyone on the way can
// change plain http. transfers: how many requests may be on their way at
// once (0: the default).
Status openWebServer(const std::string& url, bool signedOnly, size_t transfers,
                     WebServer* server);

inline constexpr size_t kDefaultWebTransfers = 8;

// The release a pointer's text names, when it is one.
bool readReleasePointer(const std::string& text, std::string* release);

}  // namespace quor
