// Linux-only properties of the loopback channels.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "decoder_test_util.h"
#include "net.h"

namespace {

void on_signal(int) {}

TEST(NetPosix, ListenerIsBoundToLoopbackAtTheReportedPort) {
  int32_t port = 0;
  socket_t l = listen_local(&port);
  ASSERT_NE(l, kInvalidSocket);
  sockaddr_in addr = {};
  socklen_t len = sizeof addr;
  ASSERT_EQ(getsockname(l, (sockaddr*)&addr, &len), 0);
  EXPECT_EQ(ntohl(addr.sin_addr.s_addr), (uint32_t)INADDR_LOOPBACK);
  EXPECT_EQ(ntohs(addr.sin_port), port);
  close_socket(l);
}

TEST(NetPosix, ListenerAndConnectionAreCloseOnExec) {
  int32_t port = 0;
  socket_t l = listen_local(&port);
  ASSERT_NE(l, kInvalidSocket);
  socket_t client = connect_local(port);
  socket_t c = accept_timeout(l, 2000);
  ASSERT_NE(c, kInvalidSocket);
  EXPECT_TRUE(fcntl(l, F_GETFD) & FD_CLOEXEC);
  EXPECT_TRUE(fcntl(c, F_GETFD) & FD_CLOEXEC);
  close_socket(client);
  close_socket(c);
  close_socket(l);
}

// Signals arriving during the wait (no SA_RESTART) must neither end it early
// nor restart the full limit.
TEST(NetPosix, SignalsDuringTheWaitKeepTheLimit) {
  struct sigaction sa = {};
  sa.sa_handler = on_signal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;
  struct sigaction old;
  ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);

  int32_t port = 0;
  socket_t l = listen_local(&port);
  ASSERT_NE(l, kInvalidSocket);
  pthread_t waiter = pthread_self();
  std::atomic<bool> done{false};
  std::thread pester([&] {
    while (!done) {
      pthread_kill(waiter, SIGUSR1);
      sleep_ms(100);
    }
  });
  auto t0 = std::chrono::steady_clock::now();
  socket_t c = accept_timeout(l, 1500);
  auto waited = std::chrono::steady_clock::now() - t0;
  done = true;
  pester.join();
  sigaction(SIGUSR1, &old, nullptr);

  EXPECT_EQ(c, kInvalidSocket);
  EXPECT_GE(waited, std::chrono::milliseconds(1450));
  EXPECT_LT(waited, std::chrono::seconds(10));  // a restart per signal would never end
  close_socket(l);
}

// A receive waits until all it asks for has arrived, also when part of it was
// already there when it began; a request whose rest stops coming (a sender that
// pauses mid-picture, or one stuck because the kernel never reported the filled
// buffer) is not waited for without end: once nothing more arrives, what is
// there is taken; and the stream's end wakes it with less.
TEST(NetPosix, ReceiveTakesTheWholeRequestOrWhatStoppedComing) {
  socket_t client, conn;
  ASSERT_TRUE(connected_pair(&client, &conn));

  char data[1000] = {};
  char got[1000];
  ASSERT_TRUE(send_all(client, data, 600));
  std::atomic<int32_t> n{-2};
  std::thread reader([&] { n = recv_gathered(conn, got, sizeof got); });
  ASSERT_TRUE(send_all(client, data, 400));
  reader.join();
  EXPECT_EQ(n.load(), 1000);

  ASSERT_TRUE(send_all(client, data, 400));
  n = -2;
  std::thread stalled([&] { n = recv_gathered(conn, got, sizeof got); });
  sleep_ms(50);
  EXPECT_EQ(n.load(), -2) << "returned with 400 of 1000 bytes at once";
  for (int i = 0; i < 500 && n.load() == -2; ++i) sleep_ms(10);
  int32_t before_the_end = n.load();
  // A reader still waiting is freed by the end of the stream.
  ASSERT_TRUE(send_all(client, data, 10));
  close_socket(client);
  stalled.join();
  EXPECT_EQ(before_the_end, 400) << "still waiting after 5 s";
  EXPECT_EQ(recv_gathered(conn, got, sizeof got), 10);
  EXPECT_EQ(recv_gathered(conn, got, sizeof got), 0);
  close_socket(conn);
}

}  // namespace
