// Who is at the other end of a loopback channel. Only the decoder, or a process
// it started, may feed the channels: the listeners' ports are visible to every
// local user (in the system's connection tables, or by trying the ports), and
// a connection that won the accept would have its bytes relayed as pictures and
// sound under the controller's source name.
//
// peer.cpp holds the accept loop and the matching of Windows table rows (pure,
// tested in every build); peer_posix.cpp and peer_win.cpp ask the system.
#pragma once
#include <cstddef>
#include <cstdint>

#include "net.h"

// Accepts connections on listener until one comes from the decoder or the time
// limit passes. Any other connection is closed at once and the wait goes on
// toward the same deadline, which is never restarted. Returns the decoder's
// connection or kInvalidSocket.
socket_t accept_decoder(socket_t listener, int timeout_ms = 30000);

// True when the process holding the other end of the accepted connection is the
// decoder or one of the processes it started. Reads the system's tables once.
bool peer_is_decoder(socket_t connection);

// One row of the Windows TCP table with owners (MIB_TCPROW_OWNER_PID), field
// for field: addresses as in sockaddr_in (network byte order), ports in network
// byte order in the low 16 bits (the upper 16 bits are undefined).
struct TcpOwnerRow {
  uint32_t state;
  uint32_t local_addr;
  uint32_t local_port;
  uint32_t remote_addr;
  uint32_t remote_port;
  uint32_t owner_pid;
};

// An end of a connection as sockaddr_in holds it (network byte order).
struct TcpEnd {
  uint32_t addr;
  uint16_t port;
};

enum PeerOwner {
  kPeerForeign,    // the peer's row is missing or has owner 0
  kPeerOwned,      // the peer's row names its owner (stored in *owner)
  kPeerOwnerless,  // the table does not tell owners (Wine): ownership is unknown
};

// Finds who owns the peer's end of the tool's connection (own, peer): the row
// whose local end is peer and whose remote end is own. The table is taken to
// tell owners only when it names the tool (own_pid) as the owner of its own end
// of that connection, as Windows always does; Wine gives the caller's own ends
// owner 0, and the ends of other processes an owner only at times.
PeerOwner find_peer_owner(const TcpOwnerRow* rows, size_t count, TcpEnd peer, TcpEnd own, uint32_t own_pid,
                          uint32_t* owner);
