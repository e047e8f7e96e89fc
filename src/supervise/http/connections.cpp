#include "http/connections.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

namespace {

constexpr std::chrono::seconds kHeadLimit{2};
constexpr std::chrono::seconds kConnectionLimit{10};
constexpr std::chrono::seconds kIdle{2};  // a connection that has sent nothing for this long
constexpr int kMostClients = 32;
constexpr int kMostPerAddress = 8;
constexpr size_t kHeadMost = 64 * 1024;
constexpr size_t kMostHeaders = 100;

using Clock = std::chrono::steady_clock;

std::atomic<int> gServing{0};  // connections being served

struct Open {
  socket_t sock;
  std::string peer;  // the client's address
  Clock::time_point opened, deadline;
  Clock::time_point heard;  // the last bytes from the client (or its opening)
};

std::mutex& gOpenLock = *new std::mutex;
std::condition_variable& gOpenChanged = *new std::condition_variable;
// Open connections and when to cut them off.
std::vector<Open>& gOpen = *new std::vector<Open>;

// Each connection is served on a thread of its own, so these describe it.
thread_local bool tRefuse = false;        // over the limit: answered 503 unread
thread_local bool tHeadTooLarge = false;  // the head ran past its limits
thread_local bool tHeadRead = false;      // the rest is a body, under the payload limit
thread_local socket_t tSocket = INVALID_SOCKET;

// False when the client already has its most connections open: this one is
// then closed unread.
bool connection_opened(socket_t sock) {
  std::string peer;
  int port = 0;
  httplib::detail::get_remote_ip_and_port(sock, peer, port);
  std::lock_guard<std::mutex> lock(gOpenLock);
  if (std::count_if(gOpen.begin(), gOpen.end(), [&](const Open& o) { return o.peer == peer; }) >= kMostPerAddress) {
    return false;
  }
  Clock::time_point now = Clock::now();
  gOpen.push_back({sock, peer, now, now + kHeadLimit, now});
  // The new deadline may be the nearest.
  gOpenChanged.notify_one();
  return true;
}

// Every slot is taken. A client address that holds no connection is served
// all the same: the address that holds the most gives up its oldest idle
// connection (or, with none idle, the one silent the longest), which is shut
// down, so that its thread ends, and this one takes its place in the table.
// False when the client already holds a connection: it is then answered 503.
bool slot_made_for(socket_t sock) {
  std::string peer;
  int port = 0;
  httplib::detail::get_remote_ip_and_port(sock, peer, port);
  std::lock_guard<std::mutex> lock(gOpenLock);
  std::map<std::string, int> held;
  for (const Open& o : gOpen) ++held[o.peer];
  if (held.count(peer) || held.empty()) return false;
  auto most = std::max_element(held.begin(), held.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
  Clock::time_point now = Clock::now();
  auto idle = [&](const Open& o) { return now - o.heard >= kIdle; };
  auto victim = gOpen.end();
  for (auto it = gOpen.begin(); it != gOpen.end(); ++it) {
    if (it->peer != most->first) continue;
    if (victim == gOpen.end() || (idle(*it) && !idle(*victim)) ||
        (idle(*it) == idle(*victim) && (idle(*it) ? it->opened < victim->opened : it->heard < victim->heard))) {
      victim = it;
    }
  }
  httplib::detail::shutdown_socket(victim->sock);
  gOpen.erase(victim);
  gOpen.push_back({sock, peer, now, now + kHeadLimit, now});
  gOpenChanged.notify_one();
  return true;
}

// Bytes came from the connection: it is not idle.
void heard_on(socket_t sock) {
  Clock::time_point now = Clock::now();
  std::lock_guard<std::mutex> lock(gOpenLock);
  for (Open& o : gOpen) {
    if (o.sock == sock) o.heard = now;
  }
}

// The head has been read: the connection now has the rest of its time.
void head_read_on(socket_t sock) {
  std::lock_guard<std::mutex> lock(gOpenLock);
  for (Open& o : gOpen) {
    if (o.sock == sock) o.deadline = o.opened + kConnectionLimit;
  }
}

// Before the connection is closed: the cutter must never shut down a socket
// number that the system has since given to another connection.
void connection_closed(socket_t sock) {
  std::lock_guard<std::mutex> lock(gOpenLock);
  gOpen.erase(std::remove_if(gOpen.begin(), gOpen.end(), [&](const Open& o) { return o.sock == sock; }),
              gOpen.end());
}

// Thread body: cuts off connections that have lasted too long. The served
// thread's read or write then fails and it ends as with any client gone.
void cut_thread() {
  std::unique_lock<std::mutex> lock(gOpenLock);
  for (;;) {
    if (gOpen.empty()) {
      gOpenChanged.wait(lock);
      continue;
    }
    Clock::time_point now = Clock::now(), next = Clock::time_point::max();
    for (auto it = gOpen.begin(); it != gOpen.end();) {
      if (it->deadline <= now) {
        httplib::detail::shutdown_socket(it->sock);
        it = gOpen.erase(it);
      } else {
        next = std::min(next, it->deadline);
        ++it;
      }
    }
    if (next != Clock::time_point::max()) gOpenChanged.wait_until(lock, next);
  }
}

// What the library reads a request through: the head ends (as if the client
// had stopped sending) at kHeadMost bytes or after kMostHeaders header lines,
// so that a client cannot make it grow without bound. Past the head, only the
// API's POST handlers read, a body the library's payload limit bounds.
class HeadStream : public httplib::Stream {
 public:
  explicit HeadStream(httplib::Stream& inner) : inner_(inner) {}
  bool is_readable() const override { return inner_.is_readable(); }
  bool is_writable() const override { return inner_.is_writable(); }
  ssize_t read(char* ptr, size_t size) override {
    if (tHeadRead) {
      ssize_t n = inner_.read(ptr, size);
      if (n > 0) heard_on(tSocket);
      return n;
    }
    // The request line, the header lines and the blank line after them.
    if (bytes_ >= kHeadMost || lines_ > kMostHeaders + 1) {
      tHeadTooLarge = true;
      return 0;
    }
    ssize_t n = inner_.read(ptr, std::min(size, kHeadMost - bytes_));
    if (n > 0) {
      heard_on(tSocket);
      bytes_ += static_cast<size_t>(n);
      lines_ += static_cast<size_t>(std::count(ptr, ptr + n, '\n'));
    }
    return n;
  }
  ssize_t write(const char* ptr, size_t size) override { return inner_.write(ptr, size); }
  void get_remote_ip_and_port(std::string& ip, int& port) const override { inner_.get_remote_ip_and_port(ip, port); }
  void get_local_ip_and_port(std::string& ip, int& port) const override { inner_.get_local_ip_and_port(ip, port); }
  socket_t socket() const override { return inner_.socket(); }

 private:
  httplib::Stream& inner_;
  size_t bytes_ = 0;
  size_t lines_ = 0;
};

class StatusHttp : public httplib::Server {
 private:
  // The library calls this on the thread the task queue gave the connection.
  bool process_and_close_socket(socket_t sock) override {
    if (!tRefuse) return connection_opened(sock) ? serve(sock) : close_now(sock);
    // Over the limit, on the accepting thread: a new client is served on a
    // thread of its own in another's place, else told to come back.
    if (slot_made_for(sock)) {
      gServing.fetch_add(1);
      try {
        std::thread([this, sock] {
          serve(sock);
          gServing.fetch_sub(1);
        }).detach();
        return true;
      } catch (const std::system_error&) {
        gServing.fetch_sub(1);
        connection_closed(sock);
      }
    }
    status_send_now(sock,
                    "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n"
                    "Cross-Origin-Resource-Policy: same-origin\r\nConnection: close\r\n\r\n");
    return close_now(sock);
  }

  // A connection in the table: served, then out of the table and closed.
  bool serve(socket_t sock) {
    tSocket = sock;
    bool answered = false;
    {
      httplib::detail::SocketStream socket_stream(sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_,
                                                  write_timeout_usec_);
      HeadStream head(socket_stream);
      tHeadTooLarge = false;
      tHeadRead = false;
      bool closed = false;
      // Range requests are not served: every answer is whole.
      answered = process_request(head, true, closed, [](httplib::Request& req) { req.ranges.clear(); });
    }
    connection_closed(sock);
    tSocket = INVALID_SOCKET;
    close_now(sock);
    return answered;
  }

  static bool close_now(socket_t sock) {
    httplib::detail::shutdown_socket(sock);
    httplib::detail::close_socket(sock);
    return false;
  }
};

// The task queue: a thread per connection while fewer than kMostClients are
// served, else the connection is answered 503 at once on the accepting thread.
class ConnectionSlots : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> fn) override {
    if (gServing.fetch_add(1) < kMostClients) {
      try {
        std::thread([fn] {
          fn();
          gServing.fetch_sub(1);
        }).detach();
        return;
      } catch (const std::system_error&) {
        // No thread to be had: refused like one over the limit.
      }
    }
    gServing.fetch_sub(1);
    tRefuse = true;
    fn();
    tRefuse = false;
  }
  void shutdown() override {}
};

}  // namespace

httplib::Server* connections_server() {
  auto* server = new StatusHttp();
  server->new_task_queue = [] { return new ConnectionSlots(); };
  return server;
}

void connections_cut_start() { std::thread(cut_thread).detach(); }

void connection_head_read() {
  head_read_on(tSocket);
  tHeadRead = true;
}

bool connection_head_too_large() { return tHeadTooLarge; }
