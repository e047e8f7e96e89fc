// The peer of a loopback channel on Windows, from the TCP table with owners.
//
// The system lists each end of every TCP connection with the id of the process
// that owns it. The peer's end belongs to the decoder when its owner is the
// decoder or runs in the decoder's job (which holds every process the decoder
// starts, unless one broke away on purpose).
//
// A row with owner 0 is one no process holds any more (Windows gives 0 to ends
// in TIME_WAIT): a process that connects, writes and closes at once cannot be
// told from the decoder, so it is refused. Wine 8, however, gives the caller's
// own ends owner 0 and the ends of other processes an owner only at times: a
// table that does not name the tool as the owner of its own end of the
// connection says nothing, and the connection is accepted as the first to
// arrive.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <iphlpapi.h>
#include <windows.h>

#include <vector>

#include "peer.h"
#include "process.h"
#include "child.h"

static_assert(sizeof(MIB_TCPROW_OWNER_PID) == sizeof(TcpOwnerRow), "row layout");

// The table, grown and asked again while connections come and go between the
// size query and the read. False when the system will not give it.
static bool tcp_owner_table(std::vector<TcpOwnerRow>* rows) {
  std::vector<unsigned char> buf(16384);
  for (int attempt = 0; attempt < 8; ++attempt) {
    DWORD size = (DWORD)buf.size();
    DWORD r = GetExtendedTcpTable(buf.data(), &size, FALSE, AF_INET, TCP_TABLE_OWNER_PID_CONNECTIONS, 0);
    if (r == NO_ERROR) {
      const MIB_TCPTABLE_OWNER_PID* t = (const MIB_TCPTABLE_OWNER_PID*)buf.data();
      const TcpOwnerRow* first = (const TcpOwnerRow*)(const void*)t->table;
      rows->assign(first, first + t->dwNumEntries);
      return true;
    }
    if (r != ERROR_INSUFFICIENT_BUFFER) return false;
    buf.resize((size_t)size + 4096);
  }
  return false;
}

static bool in_decoder_job(uint32_t pid) {
  HANDLE job = (HANDLE)child_parent_job();
  if (!job) return false;
  HANDLE h = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!h) return false;
  BOOL in = FALSE;
  bool yes = IsProcessInJob(h, job, &in) && in;
  CloseHandle(h);
  return yes;
}

bool peer_is_decoder(socket_t connection) {
  sockaddr_in own, peer;
  int own_len = sizeof own, peer_len = sizeof peer;
  if (getsockname((SOCKET)connection, (sockaddr*)&own, &own_len) != 0 || own.sin_family != AF_INET ||
      getpeername((SOCKET)connection, (sockaddr*)&peer, &peer_len) != 0 || peer.sin_family != AF_INET) {
    return false;
  }
  // Without the table nothing can be told about the peer: refused.
  std::vector<TcpOwnerRow> rows;
  if (!tcp_owner_table(&rows)) return false;
  uint32_t owner = 0;
  TcpEnd peer_end = {peer.sin_addr.s_addr, peer.sin_port};
  TcpEnd own_end = {own.sin_addr.s_addr, own.sin_port};
  switch (find_peer_owner(rows.data(), rows.size(), peer_end, own_end, GetCurrentProcessId(), &owner)) {
    case kPeerOwnerless:
      return true;
    case kPeerForeign:
      return false;
    case kPeerOwned:
      break;
  }
  return owner == child_pid() || in_decoder_job(owner);
}
