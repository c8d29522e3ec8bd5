// The client's connections to one server and the requests each carries.
//
// One ENet connection keeps at most 64 KiB of reliable data in flight, so
// over a long round trip it moves 64 KiB per round trip whatever the
// line. The client therefore opens several connections to the same server
// and spreads its requests over them: each request goes to the connected
// connection with the fewest bytes still to come. Every server answers
// the requests of one connection on that connection, so a reply tells
// which request it ends; when a connection drops, the requests it still
// carries are handed back to be sent again on the others.
//
// Plain bookkeeping: it never touches ENet, and the peers are only keys.
// Not locked: the network client keeps it under its own lock.
#pragma once

#include <enet/enet.h>

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "base/encoding.h"

namespace quor {

using ConnectionClock = std::chrono::steady_clock;

// What identifies the reply a request brings: the reply's name, and for a
// range request the offset it echoes.
struct ReplyKey {
  std::string name;
  std::optional<uint64_t> offset;
  bool operator==(const ReplyKey&) const = default;
};

struct SentRequest {
  ReplyKey key;
  uint64_t weight = 0;  // the bytes its reply may bring, as far as known
  Bytes message;        // sent again on another connection if this one drops
  ConnectionClock::time_point sentAt{};  // set by ConnectionSet::sent
};

class ConnectionSet {
 public:
  // A connection whose connect is under way is added unconnected and
  // carries no request until markConnected.
  void add(ENetPeer* peer, bool connected);
  void markConnected(ENetPeer* peer);
  // The server has begun to close peer (ENet no longer sends on it) but
  // its disconnect has not been handled yet: it takes no new request and
  // counts as connected no more, yet keeps what it carried for drop.
  void markClosing(ENetPeer* peer);

  // The first connection still open, for the requests that open a session
  // (the hello, the manifest); none when every connection is gone.
  ENetPeer* first() const;
  // The connected connection with the fewest bytes still to come (the
  // earliest added among equals); none when no connection is connected.
  ENetPeer* leastLoaded() const;

  void sent(ENetPeer* peer, SentRequest request, ConnectionClock::time_point now);
  // A message whose answer, if any, nobody waits for (the hello).
  void sentUntracked(ENetPeer* peer, ConnectionClock::time_point now);
  // A packet arrived on peer: a reply (key) ends the oldest request of
  // peer that it answers; a packet that is no reply (the offer) ends none.
  // False, changing nothing, for a packet of a peer not in the set or a
  // reply to no request of peer's: the client drops those unread, so that
  // nobody but the server can put a file before the run.
  bool answered(ENetPeer* peer, const std::optional<ReplyKey>& key,
                ConnectionClock::time_point now);
  bool contains(ENetPeer* peer) const { return find(peer) != nullptr; }
  // The connected connection whose oldest unanswered request was sent
  // first, when something shows that it is stuck rather than waiting its
  // turn at a busy server: transportStuck(peer) says so (the caller asks
  // ENet), or another connection has had an answer to a request sent after
  // that one. None when no request waits or nothing shows it.
  ENetPeer* stalled(const std::function<bool(ENetPeer*)>& transportStuck) const;
  // Forgets peer and returns the requests it still carried, oldest first.
  std::vector<SentRequest> drop(ENetPeer* peer);

  // Up to count connected connections, newest first, never the first
  // connection (the one the session opened on).
  std::vector<ENetPeer*> newestConnected(size_t count) const;

  // Connected connections with nothing to come that have sent nothing
  // since before cutoff; marks them as having sent now.
  std::vector<ENetPeer*> takeIdleSince(ConnectionClock::time_point cutoff,
                                       ConnectionClock::time_point now);

  // How long the first connection's connect took (the handshake is
  // answered by the server's transport, not after its queue of replies).
  void connectTook(ConnectionClock::duration took);
  // The round trip the client measured, once there is one: the shorter of
  // the first connect and the time from the first request on the first
  // connection to the first reply there. A busy server answers the connect
  // at once but queues the request, which is not distance.
  std::optional<ConnectionClock::duration> firstRoundTrip() const;

  size_t size() const { return connections_.size(); }
  size_t connectedCount() const;
  // Connected connections with requests unanswered.
  size_t busyCount() const;
  size_t unansweredCount(ENetPeer* peer) const;
  // What the unanswered requests of every connection may still bring.
  uint64_t unansweredWeight() const;
  std::vector<ENetPeer*> peers() const;
  std::vector<ENetPeer*> unconnectedPeers() const;

 private:
  struct Connection {
    ENetPeer* peer = nullptr;
    bool connected = false;
    bool closing = false;
    bool takesRequests() const { return connected && !closing; }
    std::deque<SentRequest> unanswered;
    uint64_t unansweredWeight = 0;
    ConnectionClock::time_point lastSend;
    std::optional<ConnectionClock::time_point> firstSend;
    // When the latest-sent request answered here was sent.
    std::optional<ConnectionClock::time_point> latestAnsweredSentAt;
  };
  Connection* find(ENetPeer* peer);
  const Connection* find(ENetPeer* peer) const;

  std::vector<Connection> connections_;
  std::optional<ConnectionClock::duration> connectTime_;
  std::optional<ConnectionClock::duration> firstReplyTime_;
};

// How many connections to open to a server measured at roundTrip away:
// enough that their windows cover what a fast line carries in one round
// trip, from 2 on a short one to kMaxServerConnections; 2 when nothing was
// measured. requested, when not 0, is taken as it is (within 1 and the
// most).
constexpr size_t kMaxServerConnections = 16;
size_t chooseConnectionCount(size_t requested, std::optional<ConnectionClock::duration> roundTrip);

}  // namespace quor
