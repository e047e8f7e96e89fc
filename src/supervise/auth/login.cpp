#include "auth/login.h"

#include <algorithm>
#include <cctype>
#include <vector>

#include "random_bytes.h"

bool SessionTable::ended(const Session& s, LoginClock::time_point now) {
  return now - s.opened >= kSessionLongest || now - s.used >= kSessionIdle;
}

bool SessionTable::open(LoginClock::time_point now, const std::string& hash, std::string* id, std::string* csrf) {
  if (!random_hex(32, id) || !random_hex(32, csrf)) return false;
  std::lock_guard<std::mutex> hold(lock_);
  for (auto it = sessions_.begin(); it != sessions_.end();) {
    it = ended(it->second, now) ? sessions_.erase(it) : std::next(it);
  }
  while (sessions_.size() >= kMostSessions) {
    sessions_.erase(std::min_element(sessions_.begin(), sessions_.end(),
                                     [](const auto& a, const auto& b) { return a.second.used < b.second.used; }));
  }
  sessions_[*id] = Session{*csrf, hash, now, now};
  return true;
}

bool SessionTable::use(const std::string& id, LoginClock::time_point now, const std::string& hash, bool by_person,
                       std::string* csrf) {
  std::lock_guard<std::mutex> hold(lock_);
  auto it = sessions_.find(id);
  if (it == sessions_.end()) return false;
  // Another hash: the password was set anew or removed since the login.
  if (ended(it->second, now) || !login_same(it->second.hash, hash)) {
    sessions_.erase(it);
    return false;
  }
  if (by_person) it->second.used = now;
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

LoginFailures::Record& LoginFailures::record(const std::string& key, LoginClock::time_point now) {
  auto it = records_.find(key);
  if (it == records_.end()) {
    // Full: the address whose last failure is the oldest goes.
    if (records_.size() >= kMostFailingAddresses) {
      records_.erase(std::min_element(records_.begin(), records_.end(),
                                      [](const auto& a, const auto& b) { return a.second.last < b.second.last; }));
    }
    it = records_.emplace(key, Record()).first;
  }
  it->second.last = now;
  return it->second;
}

namespace {

// Rounded up: a client that waits as long as it is told may try again.
std::chrono::seconds whole_seconds(LoginClock::duration left) {
  auto whole = std::chrono::duration_cast<std::chrono::seconds>(left);
  return whole < left ? whole + std::chrono::seconds(1) : whole;
}

// The wait after failures failures in a row: none before kFailuresBeforeWait.
std::chrono::seconds wait_after(int failures) {
  if (failures < kFailuresBeforeWait) return std::chrono::seconds(0);
  std::chrono::seconds wait = kFirstWait;
  for (int i = kFailuresBeforeWait; i < failures && wait < kLongestWait; ++i) wait *= 2;
  return std::min(wait, kLongestWait);
}

}  // namespace

std::chrono::seconds LoginFailures::start(const std::string& address, LoginClock::time_point now) {
  std::string key = login_address_key(address);
  std::lock_guard<std::mutex> hold(lock_);
  box_.erase(box_.begin(), box_.lower_bound(now - kBoxWindow));
  auto it = records_.find(key);
  LoginClock::time_point until = it == records_.end() ? now : it->second.until;
  if (box_.size() >= kBoxFailures) {
    // Until the oldest of the newest kBoxFailures leaves the window.
    until = std::max(until, *std::prev(box_.end(), static_cast<long>(kBoxFailures)) + kBoxWindow);
  }
  if (until > now) return whole_seconds(until - now);
  Record& r = record(key, now);
  r.failures = std::min(r.failures + 1, 1000);
  if (r.failures >= kFailuresBeforeWait) r.until = now + wait_after(r.failures);
  box_.insert(now);
  while (box_.size() > kBoxFailures) box_.erase(box_.begin());
  return std::chrono::seconds(0);
}

void LoginFailures::failed(const std::string& address, LoginClock::time_point now) {
  std::string key = login_address_key(address);
  std::lock_guard<std::mutex> hold(lock_);
  ++total_;
  Record& r = record(key, now);
  // Counted when it started; the wait runs from the answer, not the hash.
  if (r.failures >= kFailuresBeforeWait) r.until = std::max(r.until, now + wait_after(r.failures));
}

void LoginFailures::succeeded(const std::string& address, LoginClock::time_point started) {
  std::string key = login_address_key(address);
  std::lock_guard<std::mutex> hold(lock_);
  records_.erase(key);
  auto it = box_.find(started);
  if (it != box_.end()) box_.erase(it);
}

void LoginFailures::refused() {
  std::lock_guard<std::mutex> hold(lock_);
  ++total_;
}

uint64_t LoginFailures::total() {
  std::lock_guard<std::mutex> hold(lock_);
  return total_;
}

std::string login_address_key(const std::string& address) {
  std::string a = address.substr(0, address.find('%'));  // no zone
  if (a.find(':') == std::string::npos) return a;
  if (a.find('.') != std::string::npos) return a.substr(a.rfind(':') + 1);  // ::ffff:a.b.c.d
  // The eight groups, "::" filled with zeros; the first four are the /64.
  auto groups = [](const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (!text.empty() && at <= text.size()) {
      size_t end = std::min(text.find(':', at), text.size());
      out.push_back(text.substr(at, end - at));
      at = end + 1;
    }
    return out;
  };
  size_t gap = a.find("::");
  std::vector<std::string> head = groups(a.substr(0, gap)), tail;
  if (gap != std::string::npos) {
    tail = groups(a.substr(gap + 2));
    while (head.size() + tail.size() < 8) head.push_back("0");
    head.insert(head.end(), tail.begin(), tail.end());
  }
  std::string key;
  for (size_t i = 0; i < 4 && i < head.size(); ++i) {
    std::string g = head[i];
    for (char& c : g) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    g.erase(0, std::min(g.find_first_not_of('0'), g.size() - (g.empty() ? 0 : 1)));
    key += g + ":";
  }
  return key + ":/64";
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
