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

PeerOwner find_peer_owner(const TcpOwnerRow* rows, size_t count, TcpEnd peer, TcpEnd own, uint32_t* owner) {
  bool owners_reported = false;
  const TcpOwnerRow* found = nullptr;
  for (size_t i = 0; i < count; ++i) {
    const TcpOwnerRow& r = rows[i];
    if (r.owner_pid != 0) owners_reported = true;
    // A connection's four values are unique among live rows; a closed one in
    // TIME_WAIT (owner 0) may share them, so a row with an owner is preferred.
    if (r.local_addr == peer.addr && (uint16_t)r.local_port == peer.port && r.remote_addr == own.addr &&
        (uint16_t)r.remote_port == own.port && (!found || found->owner_pid == 0)) {
      found = &r;
    }
  }
  if (!owners_reported) return kPeerOwnerless;
  if (!found || found->owner_pid == 0) return kPeerForeign;
  *owner = found->owner_pid;
  return kPeerOwned;
}
