// The loopback listeners and accepts. Runs on both platforms.
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>

#include "decoder_test_util.h"
#include "net.h"

namespace {

class Net : public testing::Test {
 protected:
  static void SetUpTestSuite() { net_startup(); }
};

using Clock = std::chrono::steady_clock;

TEST_F(Net, TwoListenersGetTwoPorts) {
  int32_t p1 = 0, p2 = 0;
  socket_t a = listen_local(&p1);
  socket_t b = listen_local(&p2);
  ASSERT_NE(a, kInvalidSocket);
  ASSERT_NE(b, kInvalidSocket);
  EXPECT_GT(p1, 0);
  EXPECT_GT(p2, 0);
  EXPECT_LE(p1, 65535);
  EXPECT_NE(p1, p2);
  close_socket(a);
  close_socket(b);
}

TEST_F(Net, WaitingConnectionIsAcceptedAtOnceAndCarriesData) {
  int32_t port = 0;
  socket_t l = listen_local(&port);
  ASSERT_NE(l, kInvalidSocket);
  socket_t client = connect_local(port);
  ASSERT_NE(client, kInvalidSocket);
  const char msg[] = "picture bytes";
  ASSERT_TRUE(send_all(client, msg, sizeof msg));

  auto t0 = Clock::now();
  socket_t c = accept_timeout(l);  // the run's own 30 s limit
  EXPECT_LT(Clock::now() - t0, std::chrono::seconds(10));  // far short of the limit
  ASSERT_NE(c, kInvalidSocket);

  char got[sizeof msg] = {};
  size_t have = 0;
  while (have < sizeof msg) {
    int32_t n = recv_gathered(c, got + have, (int32_t)(sizeof msg - have));
    ASSERT_GT(n, 0);
    have += (size_t)n;
  }
  EXPECT_EQ(memcmp(got, msg, sizeof msg), 0);
  close_socket(client);
  char more;
  EXPECT_EQ(recv_gathered(c, &more, 1), 0);  // the peer's close reads as 0
  close_socket(c);
  close_socket(l);
}

TEST_F(Net, ShortLimitPassesWithoutAConnection) {
  int32_t port = 0;
  socket_t l = listen_local(&port);
  ASSERT_NE(l, kInvalidSocket);
  auto t0 = Clock::now();
  EXPECT_EQ(accept_timeout(l, 700), kInvalidSocket);
  auto waited = Clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(650));
  EXPECT_LT(waited, std::chrono::seconds(10));  // not the 30 s default
  close_socket(l);
}

// Waits out the real limit: half a minute.
TEST_F(Net, NobodyConnectsGivesInvalidAfter30Seconds) {
  int32_t port = 0;
  socket_t l = listen_local(&port);
  ASSERT_NE(l, kInvalidSocket);
  auto t0 = Clock::now();
  EXPECT_EQ(accept_timeout(l), kInvalidSocket);
  auto waited = Clock::now() - t0;
  EXPECT_GE(waited, std::chrono::milliseconds(29900));
  EXPECT_LT(waited, std::chrono::seconds(40));
  close_socket(l);
}

}  // namespace
