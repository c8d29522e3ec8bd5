// udp_relay: a UDP relay on 127.0.0.1 that makes loopback look like a
// distant line, for the benchmarks.
//
//   udp_relay --listen PORT --target PORT [--delay-ms MS] [--loss-percent P]
//             [--rate-bps BITS] [--queue-ms MS] [--seed N]
//
// Datagrams sent to 127.0.0.1:LISTEN go on to 127.0.0.1:TARGET, and the
// target's answers come back to their sender. Each distinct sender address
// gets an upstream socket of its own, so the target sees one source port
// per sender, as it would without the relay. Each direction is a line of
// its own with the same settings:
//   - every datagram is lost with probability P percent (on arrival);
//   - at a rate limit the line sends BITS bits per second, counting 28
//     bytes of IPv4 and UDP headers per datagram; datagrams wait in a
//     drop-tail queue of QUEUE-MS worth of the line (default 100 ms, at
//     least 64 KiB), as in a router, and one that does not fit is dropped;
//   - then every datagram takes MS milliseconds more (the one-way delay).
// A line without a rate limit holds at most kUnlimitedBytes in flight.
//
// One thread, one epoll loop; a timerfd wakes it when the oldest datagram
// of a line is due. Within a line every datagram is due no sooner than the
// one before it (same delay, departures in arrival order), so each line is
// a FIFO and its head is the next one due: a byte ring holds the datagrams
// without an allocation per datagram, and memory is bounded by the ring.
// LISTEN 0 picks a free port. The relay prints "listening on
// 127.0.0.1:PORT" once it is ready, and its counters on stderr when it ends
// (SIGTERM or SIGINT).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/timerfd.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

namespace {

constexpr uint64_t kUnlimitedBytes = 64ull << 20;  // ring of a line without a rate
constexpr uint64_t kMaxRingBytes = 512ull << 20;   // ring of a line with one, at most
constexpr uint64_t kMinQueueBytes = 64 << 10;
constexpr uint64_t kHeaderBytes = 28;  // IPv4 + UDP, counted against a rate
constexpr size_t kMaxDatagram = 65536;
constexpr int kBatch = 32;             // datagrams per recvmmsg
constexpr int kBatchesPerWakeup = 8;   // per socket and wake-up, so no socket starves the rest
constexpr size_t kMaxFlows = 1024;
constexpr int64_t kFlowIdleNs = 60'000'000'000;  // a sender silent this long loses its socket
constexpr int kSocketBufferBytes = 8 << 20;

struct Settings {
  int listenPort = -1;
  int targetPort = -1;
  double delayMs = 0;
  double lossPercent = 0;
  double rateBps = 0;  // 0: no limit
  double queueMs = 100;
  uint64_t seed = 1;
};

int64_t nowNs() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return int64_t{t.tv_sec} * 1'000'000'000 + t.tv_nsec;
}

// One direction: loss, the rate limit's queue, the delay, and the byte
// ring of every datagram on its way.
class Line {
 public:
  struct Entry {
    int64_t dueNs;
    uint32_t flow;       // index into the flow table
    uint32_t generation; // the flow's generation when queued
    uint32_t offset;     // of the bytes in the ring
    uint32_t size;
    uint32_t span;       // ring bytes this entry holds (size and any skipped tail)
  };

  Line(const Settings& s, uint64_t seed)
      : delayNs_(static_cast<int64_t>(s.delayMs * 1e6)),
        lossProbability_(s.lossPercent / 100),
        rateBps_(s.rateBps),
        random_(seed) {
    queueLimit_ = static_cast<uint64_t>(s.rateBps / 8 * s.queueMs / 1000);
    if (queueLimit_ < kMinQueueBytes) queueLimit_ = kMinQueueBytes;
    // With a rate, the ring holds the queue and the datagrams in the delay.
    capacity_ = kUnlimitedBytes;
    if (rateBps_ > 0) {
      capacity_ = queueLimit_ + static_cast<uint64_t>(s.rateBps / 8 * s.delayMs / 1000) + 2 * kMaxDatagram;
      if (capacity_ > kMaxRingBytes) capacity_ = kMaxRingBytes;
    }
    ring_.reset(new char[capacity_]);  // left unset: pages become resident only when used
  }

  // Takes one arriving datagram; false when it was lost or dropped.
  bool offer(const char* data, uint32_t size, uint32_t flow, uint32_t generation, int64_t now) {
    ++received_;
    if (lossProbability_ > 0 && uniform_(random_) < lossProbability_) {
      ++lost_;
      return false;
    }
    int64_t departNs = now;
    if (rateBps_ > 0) {
      int64_t freeAt = lineFreeNs_ > now ? lineFreeNs_ : now;
      double backlogBytes = static_cast<double>(freeAt - now) * rateBps_ / 8e9;
      if (backlogBytes + size + kHeaderBytes > static_cast<double>(queueLimit_)) {
        ++queueDropped_;
        return false;
      }
      departNs = freeAt + static_cast<int64_t>((size + kHeaderBytes) * 8e9 / rateBps_);
      lineFreeNs_ = departNs;
    }
    if (!store(data, size, flow, generation, departNs + delayNs_)) {
      ++queueDropped_;
      return false;
    }
    return true;
  }

  bool empty() const { return entries_.empty(); }
  size_t size() const { return entries_.size(); }
  const Entry& head() const { return entries_.front(); }
  const Entry& at(size_t i) const { return entries_[i]; }
  const char* bytes(const Entry& e) const { return ring_.get() + e.offset; }
  void pop() {
    used_ -= entries_.front().span;
    entries_.pop_front();
    if (entries_.empty()) head_ = used_ = 0;
  }
  void countSent(bool sent) { sent ? ++sent_ : ++sendFailed_; }

  void report(const char* name) const {
    std::fprintf(stderr,
                 "udp_relay %s: %" PRIu64 " received, %" PRIu64 " lost, %" PRIu64
                 " dropped by the queue, %" PRIu64 " sent, %" PRIu64 " failed to send\n",
                 name, received_, lost_, queueDropped_, sent_, sendFailed_);
  }

 private:
  bool store(const char* data, uint32_t size, uint32_t flow, uint32_t generation, int64_t due) {
    uint64_t start = head_, skip = 0;
    if (head_ + size > capacity_) {
      skip = capacity_ - head_;
      start = 0;
    }
    if (used_ + skip + size > capacity_) return false;
    std::memcpy(ring_.get() + start, data, size);
    entries_.push_back({due, flow, generation, static_cast<uint32_t>(start), size,
                        static_cast<uint32_t>(skip + size)});
    used_ += skip + size;
    head_ = (start + size) % capacity_;
    return true;
  }

  const int64_t delayNs_;
  const double lossProbability_;
  const double rateBps_;
  uint64_t queueLimit_ = 0;
  uint64_t capacity_ = 0;
  std::unique_ptr<char[]> ring_;
  uint64_t head_ = 0;
  uint64_t used_ = 0;
  std::deque<Entry> entries_;
  int64_t lineFreeNs_ = 0;
  std::mt19937_64 random_;
  std::uniform_real_distribution<double> uniform_{0.0, 1.0};
  uint64_t received_ = 0, lost_ = 0, queueDropped_ = 0, sent_ = 0, sendFailed_ = 0;
};

// A sender and the upstream socket that speaks for it to the target.
struct Flow {
  sockaddr_in client{};
  int socket = -1;
  uint32_t generation = 0;
  int64_t lastActiveNs = 0;
};

uint64_t addressKey(const sockaddr_in& a) {
  return (uint64_t{a.sin_addr.s_addr} << 16) | a.sin_port;
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

void enlargeBuffers(int fd) {
  int bytes = kSocketBufferBytes;
  // As root the system's cap does not apply; otherwise take what it allows.
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  if (setsockopt(fd, SOL_SOCKET, SO_SNDBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
  }
}

int udpSocket() {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (fd >= 0) enlargeBuffers(fd);
  return fd;
}

class Relay {
 public:
  explicit Relay(const Settings& s)
      : settings_(s), up_(s, s.seed), down_(s, s.seed * 2654435761u + 1), target_(loopback(s.targetPort)) {}

  ~Relay() {
    for (Flow& f : flows_) {
      if (f.socket >= 0) close(f.socket);
    }
    for (int fd : {listen_, epoll_, timer_, signals_}) {
      if (fd >= 0) close(fd);
    }
  }

  bool start() {
    listen_ = udpSocket();
    sockaddr_in at = loopback(settings_.listenPort);
    if (listen_ < 0 || bind(listen_, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) {
      std::perror("udp_relay: listen socket");
      return false;
    }
    socklen_t length = sizeof at;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&at), &length);
    epoll_ = epoll_create1(EPOLL_CLOEXEC);
    timer_ = timerfd_create(CLOCK_MONOTONIC, TFD_NONBLOCK | TFD_CLOEXEC);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    signals_ = signalfd(-1, &stopSignals, SFD_NONBLOCK | SFD_CLOEXEC);
    if (epoll_ < 0 || timer_ < 0 || signals_ < 0 || !watch(listen_, kListenTag) ||
        !watch(timer_, kTimerTag) || !watch(signals_, kSignalTag)) {
      std::perror("udp_relay: epoll");
      return false;
    }
    std::printf("listening on 127.0.0.1:%d\n", ntohs(at.sin_port));
    std::fflush(stdout);
    return true;
  }

  void run() {
    epoll_event events[64];
    int64_t nextSweep = nowNs() + 1'000'000'000;
    while (!stopping_) {
      int n = epoll_wait(epoll_, events, 64, 1000);
      if (n < 0 && errno != EINTR) {
        std::perror("udp_relay: epoll_wait");
        return;
      }
      for (int i = 0; i < n; ++i) handle(events[i].data.u64);
      int64_t now = nowNs();
      deliver(up_, now);
      deliver(down_, now);
      armTimer();
      if (now >= nextSweep) {
        closeIdleFlows(now);
        nextSweep = now + 1'000'000'000;
      }
    }
  }

  void report() const {
    up_.report("to target");
    down_.report("to senders");
    std::fprintf(stderr, "udp_relay: %zu senders seen, %" PRIu64 " datagrams from new senders refused\n",
                 sendersSeen_, refusedSenders_);
  }

 private:
  static constexpr uint64_t kListenTag = ~0ull;
  static constexpr uint64_t kTimerTag = ~0ull - 1;
  static constexpr uint64_t kSignalTag = ~0ull - 2;

  bool watch(int fd, uint64_t tag) {
    epoll_event e{};
    e.events = EPOLLIN;
    e.data.u64 = tag;
    return epoll_ctl(epoll_, EPOLL_CTL_ADD, fd, &e) == 0;
  }

  void handle(uint64_t tag) {
    if (tag == kSignalTag) {
      stopping_ = true;
    } else if (tag == kTimerTag) {
      uint64_t expirations;
      while (read(timer_, &expirations, sizeof expirations) > 0) {
      }
      armedNs_ = 0;
    } else if (tag == kListenTag) {
      receive(listen_, true, 0);
    } else if (tag < flows_.size()) {
      receive(flows_[tag].socket, false, static_cast<uint32_t>(tag));
    }
  }

  // Reads what a socket holds, a bounded number of batches at a time.
  void receive(int fd, bool fromSenders, uint32_t flowIndex) {
    for (int batch = 0; batch < kBatchesPerWakeup; ++batch) {
      mmsghdr messages[kBatch]{};
      iovec pieces[kBatch];
      sockaddr_in from[kBatch];
      for (int i = 0; i < kBatch; ++i) {
        pieces[i] = {scratch_.data() + i * kMaxDatagram, kMaxDatagram};
        messages[i].msg_hdr.msg_iov = &pieces[i];
        messages[i].msg_hdr.msg_iovlen = 1;
        messages[i].msg_hdr.msg_name = &from[i];
        messages[i].msg_hdr.msg_namelen = sizeof from[i];
      }
      int n = recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
      if (n <= 0) return;
      int64_t now = nowNs();
      for (int i = 0; i < n; ++i) {
        const char* data = scratch_.data() + i * kMaxDatagram;
        uint32_t size = messages[i].msg_len;
        if (fromSenders) {
          int index = flowFor(from[i], now);
          if (index < 0) continue;
          up_.offer(data, size, static_cast<uint32_t>(index), flows_[index].generation, now);
        } else {
          flows_[flowIndex].lastActiveNs = now;
          down_.offer(data, size, flowIndex, flows_[flowIndex].generation, now);
        }
      }
      if (n < kBatch) return;
    }
  }

  // The flow of a sender, opened on its first datagram; -1 when the table
  // is full or no socket could be had.
  int flowFor(const sockaddr_in& client, int64_t now) {
    auto found = byAddress_.find(addressKey(client));
    if (found != byAddress_.end()) {
      flows_[found->second].lastActiveNs = now;
      return static_cast<int>(found->second);
    }
    size_t index = 0;
    while (index < flows_.size() && flows_[index].socket >= 0) ++index;
    if (index == kMaxFlows) {
      ++refusedSenders_;
      return -1;
    }
    if (index == flows_.size()) flows_.emplace_back();
    int fd = udpSocket();
    sockaddr_in any = loopback(0);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
        connect(fd, reinterpret_cast<const sockaddr*>(&target_), sizeof target_) != 0 ||
        !watch(fd, index)) {
      if (fd >= 0) close(fd);
      ++refusedSenders_;
      return -1;
    }
    Flow& flow = flows_[index];
    flow.client = client;
    flow.socket = fd;
    ++flow.generation;
    flow.lastActiveNs = now;
    byAddress_[addressKey(client)] = index;
    ++sendersSeen_;
    return static_cast<int>(index);
  }

  void closeIdleFlows(int64_t now) {
    for (size_t i = 0; i < flows_.size(); ++i) {
      Flow& flow = flows_[i];
      if (flow.socket < 0 || now - flow.lastActiveNs < kFlowIdleNs) continue;
      close(flow.socket);  // also leaves the epoll set
      flow.socket = -1;
      byAddress_.erase(addressKey(flow.client));
    }
  }

  bool flowOpen(const Line::Entry& e) const {
    return flows_[e.flow].socket >= 0 && flows_[e.flow].generation == e.generation;
  }

  // Sends every datagram that is due, in batches of datagrams that leave
  // through the same socket; one whose flow was closed meanwhile is dropped.
  void deliver(Line& line, int64_t now) {
    bool toTarget = &line == &up_;
    while (!line.empty() && line.head().dueNs <= now) {
      mmsghdr messages[kBatch]{};
      iovec pieces[kBatch];
      int count = 0, socket = -1;
      if (!flowOpen(line.head())) {
        line.countSent(false);
        line.pop();
        continue;
      }
      for (size_t i = 0; i < line.size() && count < kBatch; ++i) {
        const Line::Entry& e = line.at(i);
        if (e.dueNs > now || !flowOpen(e)) break;
        const Flow& flow = flows_[e.flow];
        int out = toTarget ? flow.socket : listen_;
        if (count > 0 && out != socket) break;
        socket = out;
        pieces[count] = {const_cast<char*>(line.bytes(e)), e.size};
        messages[count].msg_hdr.msg_iov = &pieces[count];
        messages[count].msg_hdr.msg_iovlen = 1;
        if (!toTarget) {
          messages[count].msg_hdr.msg_name = const_cast<sockaddr_in*>(&flow.client);
          messages[count].msg_hdr.msg_namelen = sizeof flow.client;
        }
        ++count;
      }
      int sent = sendmmsg(socket, messages, count, MSG_DONTWAIT);
      // A full send buffer drops the rest of the batch, as a full link would.
      for (int i = 0; i < count; ++i) {
        line.countSent(i < sent);
        line.pop();
      }
    }
  }

  void armTimer() {
    int64_t due = 0;
    for (const Line* line : {&up_, &down_}) {
      if (!line->empty() && (due == 0 || line->head().dueNs < due)) due = line->head().dueNs;
    }
    if (due == armedNs_) return;
    itimerspec when{};
    when.it_value.tv_sec = due / 1'000'000'000;
    when.it_value.tv_nsec = due % 1'000'000'000;
    timerfd_settime(timer_, TFD_TIMER_ABSTIME, &when, nullptr);  // due 0 disarms
    armedNs_ = due;
  }

  const Settings settings_;
  Line up_;
  Line down_;
  const sockaddr_in target_;
  int listen_ = -1, epoll_ = -1, timer_ = -1, signals_ = -1;
  bool stopping_ = false;
  int64_t armedNs_ = 0;
  std::vector<Flow> flows_;
  std::unordered_map<uint64_t, size_t> byAddress_;
  std::vector<char> scratch_ = std::vector<char>(kBatch * kMaxDatagram);
  size_t sendersSeen_ = 0;
  uint64_t refusedSenders_ = 0;
};

bool parse(int argc, char** argv, Settings* s) {
  for (int i = 1; i + 1 < argc; i += 2) {
    std::string name = argv[i];
    char* end = nullptr;
    double value = std::strtod(argv[i + 1], &end);
    if (end == argv[i + 1] || *end != '\0' || value < 0) return false;
    if (name == "--listen") s->listenPort = static_cast<int>(value);
    else if (name == "--target") s->targetPort = static_cast<int>(value);
    else if (name == "--delay-ms") s->delayMs = value;
    else if (name == "--loss-percent") s->lossPercent = value;
    else if (name == "--rate-bps") s->rateBps = value;
    else if (name == "--queue-ms") s->queueMs = value;
    else if (name == "--seed") s->seed = static_cast<uint64_t>(value);
    else return false;
  }
  return argc % 2 == 1 && s->listenPort >= 0 && s->listenPort < 65536 && s->targetPort > 0 &&
         s->targetPort < 65536 && s->lossPercent <= 100 && s->delayMs <= 10'000;
}

}  // namespace

int main(int argc, char** argv) {
  Settings settings;
  if (!parse(argc, argv, &settings)) {
    std::fprintf(stderr,
                 "usage: udp_relay --listen PORT --target PORT [--delay-ms MS] [--loss-percent P]\n"
                 "                 [--rate-bps BITS] [--queue-ms MS] [--seed N]\n");
    return 2;
  }
  Relay relay(settings);
  if (!relay.start()) return 1;
  relay.run();
  relay.report();
  return 0;
}
