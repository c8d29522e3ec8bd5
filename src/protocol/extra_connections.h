// How a client marks the connections it opens beside its first one: ENet
// hands the connect data of enet_host_connect to the server with the
// connect event. A client's first connection carries 0, as every client
// without extra connections does; each further one carries this value, so
// a server short of room can refuse extras and keep slots for new players.
#pragma once

#include <cstdint>

namespace quor {

constexpr uint32_t kExtraConnectionData = 0x51455843;  // "QEXC"

}  // namespace quor
