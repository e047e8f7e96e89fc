#include "auth/login.h"

#include <algorithm>

#include "random_bytes.h"

bool SessionTable::open(LoginClock::time_point now, std::string* id, std::string* csrf) {
  if (!random_hex(32, id) || !random_hex(32, csrf)) return false;
  std::lock_guard<std::mutex> hold(lock_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = now - it->second.used >= kSessionIdle ? sessions_.erase(it) : std::next(it);
  }
  while (sessions_.size() >= kMostSessions) {
    sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                     [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
  }
  sessions_[*id] = Session{*csrf, now};
  return true;
}

bool SessionTable::use(const std::string& id, LoginClock::time_point now, std::string* csrf) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return false;
  if (now - it->second.used >= kSessionIdle) {
    sessions_.erase(it);
    return false;
  }
  it->second.used = now;
  *csrf = it->second.csrf;
  return true;
}

void SessionTable::close(const std::string& id) {
  std::lock_guard<std::mutex> hold(lock_);
  sessions_.erase(id);
}

size_t SessionTable::size() {
  std::lock_guard<std::mutex> hold(lock_);
  return sessions_.size();
}

std::chrono::seconds LoginFailures::wait(const std::string& address, LoginClock::time_point now) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = records_.find(address);
  if (it == records_.end() || it->second.until <= now) return std::chrono::seconds(0);
  // Rounded up: a client that waits as long as it is told may try again.
  auto left = it->second.until - now;
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(left);
  return whole < left ? whole + std::chrono::seconds(1) : whole;
}

void LoginFailures::failed(const std::string& address, LoginClock::time_point now) {
  std::lock_guard<std::mutex> hold(lock_);
  ++total_;
  auto it = records_.find(address);
  if (it == records_.end()) {
    // Full: the address whose last failure is the oldest goes.
    if (records_.size() >= kMostFailingAddresses) {
      records_.erase(std::min_element(records_.begin(), records_.end(),
                                      [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
    }
    it = records_.emplace(address, Record()).first;
  }
  Record& r = it->second;
  r.failures = std::min(r.failures + 1, 1000);
  r.last = now;
  if (r.failures >= kFailuresBeforeWait) {
    std::chrono::seconds wait = kFirstWait;
    for (int i = kFailuresBeforeWait; i < r.failures && wait < kLongestWait; ++i) wait *= 2;
    r.until = now + std::min(wait, kLongestWait);
  }
}

void LoginFailures::succeeded(const std::string& address) {
  std::lock_guard<std::mutex> hold(lock_);
  records_.erase(address);
}

uint64_t LoginFailures::total() {
  std::lock_guard<std::mutex> hold(lock_);
  return total_;
}

SessionTable& login_sessions() {
  static SessionTable& table = *new SessionTable;
  return table;
}

LoginFailures& login_failures() {
  static LoginFailures& table = *new LoginFailures;
  return table;
}

bool login_same(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}
