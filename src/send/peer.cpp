#include "peer.h"

#include <chrono>

socket_t accept_decoder(socket_t listener, int timeout_ms) {
  using Clock = std::chrono::steady_clock;
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeout_ms);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    if (left < 0) left = 0;
    socket_t c = accept_timeout(listener, (int)left);
    if (c == kInvalidSocket) return kInvalidSocket;
    if (peer_is_decoder(c)) return c;
    close_socket(c);
  }
}

static bool is_end(const TcpOwnerRow& r, TcpEnd local, TcpEnd remote) {
  return r.local_addr == local.addr && (uint16_t)r.local_port == local.port && r.remote_addr == remote.addr &&
         (uint16_t)r.remote_port == remote.port;
}

PeerOwner find_peer_owner(const TcpOwnerRow* rows, size_t count, TcpEnd peer, TcpEnd own, uint32_t own_pid,
                          uint32_t* owner) {
  bool own_end_named = false;
  const TcpOwnerRow* found = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const TcpOwnerRow& r = rows[i];
    if (is_end(r, own, peer) && r.owner_pid == own_pid) own_end_named = true;
    // A connection's four values are unique among live rows; a closed one in
    // TIME_WAIT (owner 0) may share them, so a row with an owner is preferred.
    if (is_end(r, peer, own) && (!found || found->owner_pid == 0)) found = &r;
  }
  if (!own_end_named) return kPeerOwnerless;
  if (!found || found->owner_pid == 0) return kPeerForeign;
  *owner = found->owner_pid;
  return kPeerOwned;
}
