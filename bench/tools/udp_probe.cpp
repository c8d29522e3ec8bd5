// udp_probe: how many bytes a UDP path on 127.0.0.1 carries, to show that
// bench/tools/udp_relay is no bottleneck.
//
//   udp_probe ECHO_PORT TO_PORT [SECONDS] [DATAGRAM_BYTES]
//
// Binds an echo socket to 127.0.0.1:ECHO_PORT, which sends every datagram
// back to where it came from, and sends datagrams to 127.0.0.1:TO_PORT
// (ECHO_PORT itself, or a relay in front of it), keeping a window of them
// in flight and counting those that come back. One thread plays both ends.
// Prints one line: "echoed BYTES bytes in SECONDS s: MB/s each way".
// A datagram not back within 200 ms counts as lost and frees its place in
// the window, so loss never stalls the run; the run stops after SECONDS
// (default 3).

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kBatch = 32;
constexpr int kWindow = 512;  // datagrams in flight
constexpr double kLostAfterSeconds = 0.2;

double seconds() {
  timespec t{};
  clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

sockaddr_in loopback(int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

int boundSocket(int port) {
  int fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK, 0);
  int bytes = 8 << 20;
  if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &bytes, sizeof bytes) != 0) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
  }
  sockaddr_in at = loopback(port);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0) return -1;
  return fd;
}

// Receives up to a batch from fd; with echo, sends each back to its sender.
int drain(int fd, std::vector<char>& buffer, size_t size, bool echo) {
  mmsghdr messages[kBatch]{};
  iovec pieces[kBatch];
  sockaddr_in from[kBatch];
  for (int i = 0; i < kBatch; ++i) {
    pieces[i] = {buffer.data() + i * size, size};
    messages[i].msg_hdr.msg_iov = &pieces[i];
    messages[i].msg_hdr.msg_iovlen = 1;
    messages[i].msg_hdr.msg_name = &from[i];
    messages[i].msg_hdr.msg_namelen = sizeof from[i];
  }
  int n = recvmmsg(fd, messages, kBatch, MSG_DONTWAIT, nullptr);
  if (n <= 0) return 0;
  if (echo) {
    for (int i = 0; i < n; ++i) pieces[i].iov_len = messages[i].msg_len;
    sendmmsg(fd, messages, n, MSG_DONTWAIT);
  }
  return n;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 3) {
    std::fprintf(stderr, "usage: udp_probe ECHO_PORT TO_PORT [SECONDS] [DATAGRAM_BYTES]\n");
    return 2;
  }
  int echoPort = std::atoi(argv[1]);
  sockaddr_in to = loopback(std::atoi(argv[2]));
  double duration = argc > 3 ? std::atof(argv[3]) : 3;
  size_t size = argc > 4 ? static_cast<size_t>(std::atoi(argv[4])) : 1400;
  if (size == 0 || size > 65000 || duration <= 0 || duration > 600) return 2;
  int echo = boundSocket(echoPort);
  int client = boundSocket(0);
  if (echo < 0 || client < 0 || connect(client, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
    std::perror("udp_probe");
    return 1;
  }
  std::vector<char> outgoing(size, 'q'), buffer(kBatch * size);
  uint64_t echoed = 0;
  int inFlight = 0;
  double start = seconds(), lastBack = start, end = start + duration;
  for (double now = start; now < end; now = seconds()) {
    while (inFlight < kWindow) {
      mmsghdr messages[kBatch]{};
      iovec piece{outgoing.data(), size};
      int count = kWindow - inFlight < kBatch ? kWindow - inFlight : kBatch;
      for (int i = 0; i < count; ++i) {
        messages[i].msg_hdr.msg_iov = &piece;
        messages[i].msg_hdr.msg_iovlen = 1;
      }
      int sent = sendmmsg(client, messages, count, MSG_DONTWAIT);
      if (sent <= 0) break;
      inFlight += sent;
    }
    pollfd fds[2] = {{echo, POLLIN, 0}, {client, POLLIN, 0}};
    poll(fds, 2, 10);
    drain(echo, buffer, size, true);
    int back = drain(client, buffer, size, false);
    if (back > 0) {
      echoed += static_cast<uint64_t>(back) * size;
      inFlight -= back;
      if (inFlight < 0) inFlight = 0;
      lastBack = seconds();
    } else if (seconds() - lastBack > kLostAfterSeconds) {
      inFlight = 0;
      lastBack = seconds();
    }
  }
  double elapsed = seconds() - start;
  std::printf("echoed %llu bytes in %.2f s: %.1f MB/s each way\n",
              static_cast<unsigned long long>(echoed), elapsed, static_cast<double>(echoed) / elapsed / 1e6);
  close(echo);
  close(client);
  return 0;
}
