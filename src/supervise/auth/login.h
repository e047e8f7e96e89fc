// The status page's logins: the sessions that a login opens and the failed
// logins counted per client address and for the whole box. Both are tables in
// memory with bounds of their own, each under its own lock, and every call
// takes the time it is given, so that a test can move the clock (login.cpp).
#pragma once
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <map>
#include <mutex>
#include <set>
#include <string>

using LoginClock = std::chrono::steady_clock;

// A session ends 12 h after its login, however much it is used, and sooner
// when no person has used it for kSessionIdle: the page's own refreshes do not
// count as use.
constexpr std::chrono::hours kSessionLongest{12};
constexpr std::chrono::hours kSessionIdle{12};
constexpr size_t kMostSessions = 64;
constexpr int kFailuresBeforeWait = 5;
constexpr std::chrono::seconds kFirstWait{1};
constexpr std::chrono::seconds kLongestWait{300};
constexpr size_t kMostFailingAddresses = 4096;
// The box has one password: this many failures within kBoxWindow, from all
// addresses together, and every login waits.
constexpr size_t kBoxFailures = 20;
constexpr std::chrono::seconds kBoxWindow{60};

class SessionTable {
 public:
  // A new session, bound to the password hash it was opened with (the
  // password file's first line): its id for the cookie and its token for
  // changes, each 256 bits from the system's generator, hex. The session
  // unused the longest goes when the table is full. False when the system
  // gives no random bytes.
  bool open(LoginClock::time_point now, const std::string& hash, std::string* id, std::string* csrf);
  // True with the session's token when id is a session opened with hash, less
  // than kSessionLongest ago, and used by a person within kSessionIdle. A use
  // by a person (by_person) starts the idle time again; any other use never
  // does. A session that fails any of these is ended.
  bool use(const std::string& id, LoginClock::time_point now, const std::string& hash, bool by_person,
           std::string* csrf);
  void close(const std::string& id);
  size_t size();

 private:
  struct Session {
    std::string csrf;
    std::string hash;
    LoginClock::time_point opened;
    LoginClock::time_point used;  // last used by a person
  };
  static bool ended(const Session& s, LoginClock::time_point now);
  std::mutex lock_;
  std::map<std::string, Session> sessions_;
};

class LoginFailures {
 public:
  // Called as a try starts, before its password is checked. Zero: the try may
  // go on, and it already counts as a failure of its address and of the box,
  // so that tries made at once cannot all pass before the first is answered.
  // Else how long the address (or, past the box's limit, everyone) must still
  // wait; that try is not made.
  std::chrono::seconds start(const std::string& address, LoginClock::time_point now);
  // The try failed; now is when its answer goes out. From the fifth in a row
  // on, the address waits from then: 1 s, then twice as long after each further
  // failure, at most 5 minutes.
  void failed(const std::string& address, LoginClock::time_point now);
  // The try started at started succeeded: it ends the address's run of
  // failures, and no longer counts for the box.
  void succeeded(const std::string& address, LoginClock::time_point started);
  // A try refused before its check (start said to wait).
  void refused();
  // Every failure and refusal since the start, for the metrics.
  uint64_t total();

 private:
  struct Record {
    int failures = 0;
    LoginClock::time_point until{};  // no try before this
    LoginClock::time_point last{};   // the last failure
  };
  Record& record(const std::string& key, LoginClock::time_point now);
  std::mutex lock_;
  std::map<std::string, Record> records_;
  std::multiset<LoginClock::time_point> box_;  // the box's tries that did not succeed, newest kept
  uint64_t total_ = 0;
};

// The part of a client's address that the failures are counted by: an IPv4
// address as it is (also when written as IPv6, ::ffff:a.b.c.d), an IPv6
// address by its /64, which one client usually holds whole.
std::string login_address_key(const std::string& address);

// The server's two tables (never destroyed: a connection thread may still use
// them while the program exits).
SessionTable& login_sessions();
LoginFailures& login_failures();

// Equal, in a time that depends on the lengths only.
bool login_same(const std::string& a, const std::string& b);
