// The dispatch of received packets: picks the message by channel and type,
// decodes it and calls exactly one operation of the registered controller,
// or writes one error line. Runs on the network thread only.
//
// Lines for unrecognised input ("|||| Unknown lobby message 3. Nothing to
// do with it" and the like) keep their fixed wording. A packet too short
// for the fields it must carry is dropped with
// "|||| Malformed packet on channel N. Dropped", and is never read past
// its end. A flood of such lines is summed up (logRepeatableError).
#pragma once

#include <cstdint>

#include "protocol/file_update_messages.h"
#include "protocol/passthrough_messages.h"
#include "client/network_client.h"

namespace quor {

// The packet stays owned by the caller. IngameMessage8 is consumed here:
// its first blob replaces client.ingameBlob. Without a registered
// controller the messages are decoded and dropped.
void dispatch(NetworkClient& client, uint8_t channel, ByteSpan packet);

}  // namespace quor
