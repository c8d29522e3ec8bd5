// The network client: one process-wide ENet host with its connections to
// the update server, the network thread that services it, and the sends of
// the update run.
//
// Start: createNetworkClient → registerController → connectToServer →
// a thread running networkThreadMain; openExtraConnections may add more
// connections to the same server once the round trip is known. Stop: clear
// networkRunning, join the thread, release the controller,
// shutdownNetworkClient.
//
// The first connection carries the hello and the manifest request; file
// and range requests go to whichever connection has the least still to
// come (client/connection_set.h). When a connection drops while others stay,
// what it still carried is sent again on the others; only when the last
// one drops is the client disconnected.
//
// Threads: the owner (the update mode's thread) starts and stops the client
// while no network thread runs; one network thread runs networkThreadMain
// and the controller's operations; the sends and bytesReceivedFromServer
// may be called from any thread between createNetworkClient and
// shutdownNetworkClient.
//
// ENet's host is not safe for concurrent use, yet the main thread and the
// request pump send while the network thread services the host. Every ENet
// call on the host and its peer therefore happens under enetLock, and
// senders pick a connection under that same lock, so a peer dropped by a
// disconnect is never used.
#pragma once

#include <enet/enet.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "base/encoding.h"
#include "base/mutex.h"
#include "client/client_controller.h"
#include "client/connection_fit.h"
#include "client/connection_set.h"
#include "client/rate_limit.h"
#include "client/server_walk.h"
#include "protocol/transport_limits.h"

namespace quor {

struct NetworkClient {
  Mutex enetLock;
  ENetHost* host GUARDED_BY(enetLock) PT_GUARDED_BY(enetLock) = nullptr;
  // The entry read last; the server once connected. The owner's thread only.
  std::string serverName;
  // Empty when not connected.
  ConnectionSet connections GUARDED_BY(enetLock);
  // Connects whose wait ran out, oldest first, left connecting while the
  // walk goes on (client/connect_to_server.cpp says why); given up once a
  // connection is made or the host goes.
  std::vector<ENetPeer*> waitedOutConnects GUARDED_BY(enetLock);
  // Set once a range offer arrived: the server then answers a hello on
  // any connection, which keeps a connection that waits for the run (a
  // big file being applied) from looking idle to the server.
  bool rangesOffered GUARDED_BY(enetLock) = false;
  // Set when the count of connections follows the line (fitToLine).
  std::optional<ConnectionFit> fit GUARDED_BY(enetLock);
  // The download cap, when one is set.
  std::optional<RateGate> rateGate GUARDED_BY(enetLock);
  // Since when, and from which receivedBytes on, the client has waited for
  // replies without kStallProgressBytes coming.
  ConnectionClock::time_point waitingSince GUARDED_BY(enetLock){};
  uint64_t receivedWhenWaitingBegan GUARDED_BY(enetLock) = 0;
  uint32_t ingameBlobLength = 0;  // network thread only
  Bytes ingameBlob;               // network thread only
  // Not owned; set by the owner while no network thread runs.
  ClientController* controller = nullptr;
  // Bytes of every datagram the host has received, read by the update run
  // to tell a reply still on its way from a server gone quiet.
  std::atomic<uint64_t> receivedBytes{0};
};

// The one client, set by createNetworkClient and cleared by
// shutdownNetworkClient. The thread entry and the sends reach the client
// through it.
extern std::atomic<NetworkClient*> theNetworkClient;

// Keeps networkThreadMain going; true from the start. Cleared by the owner
// to stop the thread (set it again before starting another one).
extern std::atomic<bool> networkRunning;

// The ENet client host: no bound address, a peer slot for every connection
// it may open, 7 channels, no bandwidth limits, ENet's default datagram
// size; packets and waiting data as large as protocol/transport_limits.h sets
// them.
constexpr size_t kClientPeerSlots = kMaxServerConnections;
constexpr uint32_t kConnectWaitMs = 840;
constexpr uint32_t kShutdownFlushPauseMs = 400;

// Creates and publishes the client. When the ENet host cannot be created
// it writes "An error occurred while trying to create an ENet client
// host.\n" and returns null; the caller ends the program.
NetworkClient* createNetworkClient();

void registerController(ClientController* controller);

// Tries the entries of the server list at path in order (only those named
// preferredName when it is not empty) until one connects; true when
// connected. Each failed attempt writes one line and the next entry is
// tried. Runs before the network thread starts.
// Each attempt goes to one address of a name, the addresses of a name in
// a shuffled order (client/server_walk.h).
bool connectToServer(std::string path, std::string preferredName);

// The same, going on from where walk stopped: the server after the last
// one it gave. Update mode keeps its walk, so that when the server in use
// fails it can go on with the next. Runs while no network thread runs and
// no connection is open (dropServer). Each connect waits connectWaitMs:
// update mode walks the list once more with kFarConnectWaitMs when no
// server answered within kConnectWaitMs, so that a server a second or
// more away (a congested mobile line, a satellite) is still reached while
// a near one is preferred.
// An entry that names a web location (ServerTarget::web) ends the walk's
// step at once, true but not connected: update mode reaches it over HTTP.
constexpr uint32_t kFarConnectWaitMs = 6000;
bool connectToNextServer(ServerWalk& walk, uint32_t connectWaitMs = kConnectWaitMs);

// Connects once more to target, a server the walk gave before, with no
// line of its own; true when connected. Runs while no network thread runs
// and no connection is open (dropServer).
bool reconnectToServer(const ServerTarget& target);

// Closes every connection to the server at once, without waiting for its
// answer, and forgets what the server offered: the client is as it was
// before connecting. Runs while no network thread runs.
void dropServer();

// Whether a connection to the server is open. Any thread.
bool connectedToServer();

// Body of the network thread: services the host as each datagram arrives,
// and at least every 20 ms for ENet's timers, and hands each received
// packet to the dispatch, until networkRunning is cleared (so a stop waits
// up to 20 ms). Sends a hello on every connection that has been quiet for
// kKeepaliveMs to a server that offered ranges.
// When requests wait and less than kStallProgressBytes has come for
// kStallMs, the connection that has waited longest is closed and its
// requests go to the others (when there are others), if it is stuck:
// ENet resends a lost datagram after a time that doubles with each loss,
// so under loss one connection can sit for many seconds while the others
// are idle. A connection that merely waits its turn at a busy server is
// left alone (ConnectionSet::stalled).
constexpr uint32_t kKeepaliveMs = 10000;
constexpr uint32_t kStallMs = 6000;
constexpr uint64_t kStallProgressBytes = 64 * 1024;
void networkThreadMain();

// Opens connections to the connected server until there are count, each
// marked as an extra one (protocol/extra_connections.h); they carry requests
// once connected. Waits up to waitMs for their connects; a server may
// refuse them, and the client goes on with those it has. Runs while the
// network thread runs. Returns how many connections are then connected.
size_t openExtraConnections(size_t count, uint32_t waitMs);

// From now on the network thread fits the count of connections to what the
// line carries (client/connection_fit.h): it retires connections, each closed
// once its requests are answered, and opens them again up to the count
// there is now. Logs each change. Runs while the network thread runs.
void fitToLine();

// Caps the download from now on at bytesPerSecond (client/rate_limit.h); the
// request pump and the piece fetch ask requestAllowed before each request.
void limitDownloadRate(uint64_t bytesPerSecond);
// A whole-file reply's size is not known before it comes; it counts as
// much as one piece when loads and the cap are reckoned.
constexpr uint64_t kWholeFileWeight = kMaxPieceSize;
// True when a request that may bring weight bytes keeps within the cap
// (always without one).
bool requestAllowed(uint64_t weight);

// The round trip measured on the first connection, once a reply came.
std::optional<ConnectionClock::duration> measuredRoundTrip();

// NetworkClient::receivedBytes of the client; 0 without one.
uint64_t bytesReceivedFromServer();

// Queues a FileRequest for name, reliable, on the file update channel. Does
// nothing (and returns false) without a connected peer.
bool sendFileRequest(std::string name);

// Queues the ManifestRequest under the same rules.
bool sendManifestRequest();

// Queue, under the same rules, the RangeHello (sent right after connecting,
// before the ManifestRequest) and the request for length bytes of name
// from offset on.
bool sendRangeHello();
bool sendFileRangeRequest(const std::string& name, uint64_t offset, uint32_t length);

// Disconnects the peer if there is one, flushes, waits 400 ms, destroys
// the host ("Enet client destroyed") and the client. Runs after the
// network thread has been joined.
void shutdownNetworkClient();

}  // namespace quor
