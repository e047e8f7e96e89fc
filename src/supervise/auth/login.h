// The status page's logins: the sessions that a login opens and the failed
// logins counted per client address. Both are tables in memory with bounds of
// their own, each under its own lock, and every call takes the time it is
// given, so that a test can move the clock (login.cpp).
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>

using LoginClock = std::chrono::steady_clock;

constexpr std::chrono::hours kSessionIdle{12};
constexpr size_t kMostSessions = 64;
constexpr int kFailuresBeforeWait = 5;
constexpr std::chrono::seconds kFirstWait{1};
constexpr std::chrono::seconds kLongestWait{300};
constexpr size_t kMostFailingAddresses = 4096;

class SessionTable {
 public:
  // A new session: its id for the cookie and its token for changes, each 256
  // bits from the system's generator, hex. The session unused the longest goes
  // when the table is full. False when the system gives no random bytes.
  bool open(LoginClock::time_point now, std::string* id, std::string* csrf);
  // True with the session's token when id is a session that has been used
  // within its idle time, which then starts again; a session past it is ended.
  bool use(const std::string& id, LoginClock::time_point now, std::string* csrf);
  void close(const std::string& id);
  size_t size();

 private:
  struct Session {
    std::string csrf;
    LoginClock::time_point used;
  };
  std::mutex lock_;
  std::map<std::string, Session> sessions_;
};

class LoginFailures {
 public:
  // How long the address must still wait before its next try (zero: it may
  // try now). Asked before the password is checked: a waiting address is
  // answered at once and its try is not counted.
  std::chrono::seconds wait(const std::string& address, LoginClock::time_point now);
  // A failed login. From the fifth in a row on, the address waits: 1 s, then
  // twice as long after each further failure, at most 5 minutes.
  void failed(const std::string& address, LoginClock::time_point now);
  // A login that succeeded ends the address's run of failures.
  void succeeded(const std::string& address);
  // Every failure since the start, for the metrics.
  uint64_t total();

 private:
  struct Record {
    int failures = 0;
    LoginClock::time_point until{};  // no try before this
    LoginClock::time_point last{};   // the last failure
  };
  std::mutex lock_;
  std::map<std::string, Record> records_;
  uint64_t total_ = 0;
};

// The server's two tables (never destroyed: a connection thread may still use
// them while the program exits).
SessionTable& login_sessions();
LoginFailures& login_failures();

// Equal, in a time that depends on the lengths only.
bool login_same(const std::string& a, const std::string& b);
