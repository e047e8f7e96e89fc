// Loopback channels on Linux. Every socket is close-on-exec so that the decoder
// (or any other child) never holds a listener or a connection of the tool.
#include "net.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/ioctl.h>
#include <time.h>
#include <unistd.h>

const socket_t kInvalidSocket = -1;

void net_startup() {}

socket_t listen_local(int32_t* port) {
  // Non-blocking so that an accept never waits beyond its limit for a
  // connection that went away between the wait and the accept.
  int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  if (s < 0) return kInvalidSocket;
  sockaddr_in addr = {};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  addr.sin_port = 0;  // the system picks a free port
  socklen_t len = sizeof addr;
  // A deep backlog keeps the decoder's connection from being dropped behind a
  // burst of foreign ones, each of which is accepted and closed in turn.
  if (bind(s, (sockaddr*)&addr, sizeof addr) != 0 || listen(s, SOMAXCONN) != 0 ||
      getsockname(s, (sockaddr*)&addr, &len) != 0) {
    close(s);
    return kInvalidSocket;
  }
  *port = (int32_t)ntohs(addr.sin_port);
  return s;
}

static int64_t now_ms() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// poll, not select: a listener numbered FD_SETSIZE (1024) or above, as when
// the tool inherits many descriptors, is as good as any other.
socket_t accept_timeout(socket_t listener, int timeout_ms) {
  if (listener < 0) return kInvalidSocket;
  const int64_t deadline = now_ms() + timeout_ms;
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left < 0) left = 0;
    pollfd p = {listener, POLLIN, 0};
    int n = poll(&p, 1, (int)left);
    if (n < 0 && errno != EINTR) return kInvalidSocket;
    if (n == 0) return kInvalidSocket;
    if (n > 0) {
      int c = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
      if (c >= 0) return c;
      // The connection went away before it was taken (or a signal came): wait
      // on for what is left of the limit.
      if (errno != EAGAIN && errno != EWOULDBLOCK && errno != ECONNABORTED && errno != EINTR && errno != EPROTO) {
        return kInvalidSocket;
      }
    }
    // A signal cut the wait short: go on with what is left of the limit.
  }
}

// The low-water mark (SO_RCVLOWAT) makes poll report the socket readable only
// once len bytes are queued; the kernel grows the socket's buffer to hold them
// (up to its limit, cutting the mark to fit) and still reports it readable when
// the buffer fills or the stream ends. The receive after it never waits: a
// blocking receive that had copied part of the bytes would sleep until a whole
// further mark of new bytes arrived, which a stream that pauses mid-picture
// never sends. For 1080p30 this costs about 2 % of a core instead of 3 % on the
// machine it was measured on. A refused mark leaves poll waking on any byte.
//
// Kernels from 4.18 to about 5.8 can fail to report the socket readable when
// the buffer fills short of the mark (small segments in a big buffer, memory
// pressure): the sender then waits for room that only this receive would make.
// So the wait is bounded: when a whole step passes in which the queued bytes
// did not grow, whatever is queued is taken. A stream that keeps arriving is
// still taken whole, in one copy, the moment its last byte is queued; a
// stalled one is taken in parts, a step or two late.
enum { kStallStepMs = 100 };

int32_t recv_gathered(socket_t s, void* buf, int32_t len) {
  int mark = len > 0 ? len : 1;
  setsockopt(s, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark);
  int queued_before = -1;
  for (;;) {
    pollfd p = {s, POLLIN, 0};
    int ready = poll(&p, 1, kStallStepMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (ready == 0) {
      // No wake-up within the step: move on only once the queue has stopped
      // growing (and holds something); a failed query counts as stopped.
      int queued = 0;
      if (ioctl(s, FIONREAD, &queued) == 0 && (queued == 0 || queued != queued_before)) {
        queued_before = queued;
        continue;
      }
    }
    ssize_t n = recv(s, buf, (size_t)len, MSG_DONTWAIT);
    if (n >= 0) return (int32_t)n;
    if (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
  }
}

int32_t recv_now(socket_t s, void* buf, int32_t len) {
  for (;;) {
    ssize_t n = recv(s, buf, (size_t)len, MSG_DONTWAIT);
    if (n > 0) return (int32_t)n;
    if (n == 0) return -1;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
    if (errno != EINTR) return -1;
  }
}

void close_socket(socket_t s) { close(s); }

// Shutting the receiving side wakes a receive blocked in poll (it then returns
// what is queued, then 0), and every later receive ends the same way.
void wake_socket(socket_t s) { shutdown(s, SHUT_RD); }
