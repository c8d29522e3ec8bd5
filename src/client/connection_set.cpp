#include "client/connection_set.h"

#include <algorithm>

namespace quor {

ConnectionSet::Connection* ConnectionSet::find(ENetPeer* peer) {
  for (Connection& connection : connections_) {
    if (connection.peer == peer) return &connection;
  }
  return nullptr;
}

const ConnectionSet::Connection* ConnectionSet::find(ENetPeer* peer) const {
  return const_cast<ConnectionSet*>(this)->find(peer);
}

void ConnectionSet::add(ENetPeer* peer, bool connected) {
  if (peer == nullptr || find(peer) != nullptr) return;
  Connection connection;
  connection.peer = peer;
  connection.connected = connected;
  connections_.push_back(std::move(connection));
}

void ConnectionSet::markConnected(ENetPeer* peer) {
  if (Connection* connection = find(peer)) connection->connected = true;
}

void ConnectionSet::markClosing(ENetPeer* peer) {
  if (Connection* connection = find(peer)) connection->closing = true;
}

void ConnectionSet::connectTook(ConnectionClock::duration took) {
  if (!connectTime_) connectTime_ = took;
}

std::optional<ConnectionClock::duration> ConnectionSet::firstRoundTrip() const {
  if (connectTime_ && firstReplyTime_) return std::min(*connectTime_, *firstReplyTime_);
  return connectTime_ ? connectTime_ : firstReplyTime_;
}

ENetPeer* ConnectionSet::first() const {
  for (const Connection& connection : connections_) {
    if (connection.takesRequests()) return connection.peer;
  }
  return nullptr;
}

ENetPeer* ConnectionSet::leastLoaded() const {
  const Connection* best = nullptr;
  for (const Connection& connection : connections_) {
    if (!connection.takesRequests()) continue;
    if (best == nullptr || connection.unansweredWeight < best->unansweredWeight) best = &connection;
  }
  return best != nullptr ? best->peer : nullptr;
}

void ConnectionSet::sentUntracked(ENetPeer* peer, ConnectionClock::time_point now) {
  Connection* connection = find(peer);
  if (connection == nullptr) return;
  connection->lastSend = now;
  if (!connection->firstSend) connection->firstSend = now;
}

void ConnectionSet::sent(ENetPeer* peer, SentRequest request, ConnectionClock::time_point now) {
  Connection* connection = find(peer);
  if (connection == nullptr) return;
  sentUntracked(peer, now);
  request.sentAt = now;
  connection->unansweredWeight += request.weight;
  connection->unanswered.push_back(std::move(request));
}

bool ConnectionSet::answered(ENetPeer* peer, const std::optional<ReplyKey>& key,
                             ConnectionClock::time_point now) {
  Connection* connection = find(peer);
  if (connection == nullptr) return false;
  if (!firstReplyTime_ && connection == &connections_.front() && connection->firstSend) {
    firstReplyTime_ = now - *connection->firstSend;
  }
  if (!key) return true;
  auto& unanswered = connection->unanswered;
  auto found = std::find_if(unanswered.begin(), unanswered.end(),
                            [&key](const SentRequest& request) { return request.key == *key; });
  if (found == unanswered.end()) return false;
  if (!connection->latestAnsweredSentAt || *connection->latestAnsweredSentAt < found->sentAt) {
    connection->latestAnsweredSentAt = found->sentAt;
  }
  connection->unansweredWeight -= found->weight;
  unanswered.erase(found);
  return true;
}

ENetPeer* ConnectionSet::stalled(const std::function<bool(ENetPeer*)>& transportStuck) const {
  const Connection* longest = nullptr;
  for (const Connection& connection : connections_) {
    if (!connection.takesRequests() || connection.unanswered.empty()) continue;
    if (longest == nullptr ||
        connection.unanswered.front().sentAt < longest->unanswered.front().sentAt) {
      longest = &connection;
    }
  }
  if (longest == nullptr) return nullptr;
  ConnectionClock::time_point waitingSince = longest->unanswered.front().sentAt;
  bool passedOver = std::any_of(connections_.begin(), connections_.end(), [&](const Connection& other) {
    return &other != longest && other.latestAnsweredSentAt && *other.latestAnsweredSentAt > waitingSince;
  });
  return passedOver || transportStuck(longest->peer) ? longest->peer : nullptr;
}

std::vector<SentRequest> ConnectionSet::drop(ENetPeer* peer) {
  auto found = std::find_if(connections_.begin(), connections_.end(),
                            [peer](const Connection& connection) { return connection.peer == peer; });
  if (found == connections_.end()) return {};
  std::vector<SentRequest> carried(std::make_move_iterator(found->unanswered.begin()),
                                   std::make_move_iterator(found->unanswered.end()));
  connections_.erase(found);
  return carried;
}

std::vector<ENetPeer*> ConnectionSet::newestConnected(size_t count) const {
  std::vector<ENetPeer*> newest;
  for (size_t i = connections_.size(); i > 1 && newest.size() < count; --i) {
    if (connections_[i - 1].takesRequests()) newest.push_back(connections_[i - 1].peer);
  }
  return newest;
}

std::vector<ENetPeer*> ConnectionSet::takeIdleSince(ConnectionClock::time_point cutoff,
                                                    ConnectionClock::time_point now) {
  std::vector<ENetPeer*> idle;
  for (Connection& connection : connections_) {
    if (!connection.takesRequests() || !connection.unanswered.empty()) continue;
    if (connection.lastSend >= cutoff) continue;
    connection.lastSend = now;
    idle.push_back(connection.peer);
  }
  return idle;
}

size_t ConnectionSet::connectedCount() const {
  return static_cast<size_t>(std::count_if(connections_.begin(), connections_.end(),
                                           [](const Connection& c) { return c.takesRequests(); }));
}

size_t ConnectionSet::busyCount() const {
  return static_cast<size_t>(std::count_if(
      connections_.begin(), connections_.end(),
      [](const Connection& c) { return c.takesRequests() && !c.unanswered.empty(); }));
}

size_t ConnectionSet::unansweredCount(ENetPeer* peer) const {
  const Connection* connection = find(peer);
  return connection != nullptr ? connection->unanswered.size() : 0;
}

uint64_t ConnectionSet::unansweredWeight() const {
  uint64_t total = 0;
  for (const Connection& connection : connections_) total += connection.unansweredWeight;
  return total;
}

std::vector<ENetPeer*> ConnectionSet::peers() const {
  std::vector<ENetPeer*> all;
  for (const Connection& connection : connections_) all.push_back(connection.peer);
  return all;
}

std::vector<ENetPeer*> ConnectionSet::unconnectedPeers() const {
  std::vector<ENetPeer*> waiting;
  for (const Connection& connection : connections_) {
    if (!connection.connected) waiting.push_back(connection.peer);
  }
  return waiting;
}

size_t chooseConnectionCount(size_t requested, std::optional<ConnectionClock::duration> roundTrip) {
  if (requested != 0) return std::clamp<size_t>(requested, 1, kMaxServerConnections);
  if (!roundTrip) return 2;
  // About 64 KiB in flight per connection: at 3 ms of round trip per
  // connection, their windows together carry some 21 MB/s, which leaves
  // room for the round trip to grow by a line's queue (at 4 ms, 50 ms and
  // a 100 Mbit/s line: 75% of it; at 3 ms, 86%).
  auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(*roundTrip).count();
  return std::clamp<size_t>(2 + static_cast<size_t>(std::max<int64_t>(ms, 0) / 3), 2,
                            kMaxServerConnections);
}

}  // namespace quor
