// Matching the peer's end of a channel in the Windows TCP table with owners.
// The rows are built as Windows documents them; runs in every build.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "peer.h"

namespace {

const uint32_t kEstablished = 5, kTimeWait = 11;

// An IPv4 address and a port as sockaddr_in holds them, whatever the host's
// byte order.
uint32_t addr(uint8_t a, uint8_t b, uint8_t c, uint8_t d) {
  const uint8_t bytes[4] = {a, b, c, d};
  uint32_t v;
  memcpy(&v, bytes, 4);
  return v;
}
uint16_t port(uint16_t p) {
  const uint8_t bytes[2] = {(uint8_t)(p >> 8), (uint8_t)p};
  uint16_t v;
  memcpy(&v, bytes, 2);
  return v;
}
const uint32_t kLoop = addr(127, 0, 0, 1);

// A row of one end: local and remote as (address, host-order port); the
// port fields carry undefined upper bits, as Windows allows.
TcpOwnerRow row(uint32_t local, uint16_t lport, uint32_t remote, uint16_t rport, uint32_t owner,
                uint32_t state = kEstablished) {
  return TcpOwnerRow{state, local, 0xBEEF0000u | port(lport), remote, 0x12340000u | port(rport), owner};
}

// The tool (process 900) listens on 50000 and accepted the connection from
// 127.0.0.1:41000.
const uint32_t kTool = 900;
const TcpEnd kOwn = {kLoop, port(50000)};
const TcpEnd kPeer = {kLoop, port(41000)};

PeerOwner find(const std::vector<TcpOwnerRow>& rows, size_t count, uint32_t* owner) {
  return find_peer_owner(rows.data(), count, kPeer, kOwn, kTool, owner);
}
PeerOwner find(const std::vector<TcpOwnerRow>& rows, uint32_t* owner) { return find(rows, rows.size(), owner); }

TEST(PeerTable, FindsTheOwnerOfThePeersEndNotOfTheToolsEnd) {
  std::vector<TcpOwnerRow> rows = {
      row(kLoop, 50000, kLoop, 41000, 900),          // the tool's own end
      row(kLoop, 41000, kLoop, 50001, 700),          // the same port towards another listener
      row(addr(127, 0, 0, 2), 41000, kLoop, 50000, 701),
      row(kLoop, 41000, kLoop, 50000, 0, kTimeWait),  // an earlier connection with these values, closed
      row(kLoop, 41000, kLoop, 50000, 1234),         // the peer's end
      row(kLoop, 55555, kLoop, 50000, 702),
  };
  uint32_t owner = 0;
  EXPECT_EQ(find(rows, &owner), kPeerOwned);
  EXPECT_EQ(owner, 1234u);
}

TEST(PeerTable, AMissingRowOrOwnerZeroIsForeignWhenOwnersAreReported) {
  uint32_t owner = 0;
  // Only the tool's end is listed: the peer is not a connection of this system's.
  std::vector<TcpOwnerRow> missing = {row(kLoop, 50000, kLoop, 41000, 900)};
  EXPECT_EQ(find(missing, &owner), kPeerForeign);
  // A process that connected, wrote and closed: its end lingers without owner.
  std::vector<TcpOwnerRow> closed = {row(kLoop, 50000, kLoop, 41000, 900),
                                     row(kLoop, 41000, kLoop, 50000, 0, kTimeWait)};
  EXPECT_EQ(find(closed, &owner), kPeerForeign);
  // Ports read in the wrong byte order must not match: 41000 is 0xA028, and
  // the row for 0x28A0 (10400) is someone else's.
  std::vector<TcpOwnerRow> swapped = {row(kLoop, 50000, kLoop, 41000, 900), row(kLoop, 0x28A0, kLoop, 50000, 55)};
  EXPECT_EQ(find(swapped, &owner), kPeerForeign);
}

TEST(PeerTable, ATableThatDoesNotNameTheToolsOwnEndTellsNothing) {
  uint32_t owner = 0;
  // As Wine 8 lists it: owner 0 for the caller's own end, while the ends of
  // other processes carry owners only at times.
  std::vector<TcpOwnerRow> wine = {row(kLoop, 50000, kLoop, 41000, 0), row(kLoop, 41000, kLoop, 50000, 0),
                                   row(kLoop, 45000, kLoop, 46000, 4242)};
  EXPECT_EQ(find(wine, &owner), kPeerOwnerless);
  EXPECT_EQ(find(wine, 1, &owner), kPeerOwnerless);
  // Owner 0 everywhere, or no row at all.
  wine.pop_back();
  EXPECT_EQ(find(wine, &owner), kPeerOwnerless);
  EXPECT_EQ(find(wine, 0, &owner), kPeerOwnerless);
  // Once the tool's own end carries its id, the peer's owner 0 is foreign.
  wine[0].owner_pid = kTool;
  EXPECT_EQ(find(wine, &owner), kPeerForeign);
}

}  // namespace
