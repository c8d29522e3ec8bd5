// How fast the server lets ENet send to a peer. ENet's pacing is made for
// peers that share a little bandwidth; a server that fills players' lines
// over long round trips needs two of its rules loosened.
//
// Server thread only, like every other call on the host.
#pragma once

#include <enet/enet.h>

namespace quor {

// ENet shrinks a peer's window of reliable data in transit whenever its
// round trips vary, down to one datagram per round trip. On a busy server
// (hundreds of peers, a loaded machine) round trips always vary, so peers
// end up moving a few KiB per second and a player waits for minutes for one
// file. The window itself (64 KiB) and ENet's resending are what pace a
// peer here; the shrinking is turned off (the peer is told as well, for
// what it sends). Called once, when the peer connects.
void keepFullWindow(ENetPeer* peer);

// ENet resends a datagram that is not acknowledged within the round trip
// plus four times its variation, both smoothed over the acknowledgements.
// When the server fills a player's line, the line's queue swings the round
// trip by tens of milliseconds and the variation lags behind the swings:
// at 50 ms on a 100 Mbit/s line a tenth of the datagrams went out twice,
// and the copies took a tenth of the line. Holding the variation at no
// less than a quarter of the round trip makes ENet wait at least two round
// trips, which the swings do not reach; a datagram that is really lost is
// resent at most one round trip later than before. A round trip under
// 4 ms (loopback, a local network) is not changed.
//
// ENet updates the variation on every acknowledgement, so this is applied
// to every connected peer before each service pass: O(peers) per pass.
void holdOffEarlyResends(ENetPeer* peer);
void holdOffEarlyResends(ENetHost* host);

}  // namespace quor
