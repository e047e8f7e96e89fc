// The status server: /status.json, /metrics and / on the status address, from
// a thread per connection that the supervision never waits for. cpp-httplib
// reads and answers each request; the limits it lacks are put around it here:
//  - 5 s for any one read or write: the library's read and write timeouts;
//  - 2 s for the whole request head and 10 s for a whole connection, however
//    it trickles: a table of the open connections and a thread that shuts down
//    each one still open at its deadline, which ends the read or write it is in;
//  - at most 8 connections at once from one client address (the socket's
//    peer, never a header), more closed at once unread, so that one slow
//    client cannot take every connection;
//  - at most 32 connections served at once, more answered 503 at once on the
//    accepting thread with a write that never waits: the library's task queue
//    hook;
//  - no answer to a request that a page of another site makes (Sec-Fetch-Site,
//    Origin), and every answer only for pages of this origin
//    (Cross-Origin-Resource-Policy), so that a page elsewhere cannot load a
//    picture or learn which sources exist;
//  - a request head of at most 64 KiB and 100 header lines: the stream the
//    library reads through ends there, and the answer is 431 (a request line
//    cut off at that length is 414, as the library answers a long one).
//  - a body only for the API's POST and PUT requests, at most 64 KiB (413), of
//    a stated length (411 without one), read once the head has been.
// With a password file, everything but /metrics and the page itself needs a
// session (login.h); each change also needs the session's token, the page's
// own Origin and a JSON body.
// One request per connection: no idle connection is held open.
#include <httplib.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

#include "http/status_server.h"

#include "auth/login.h"
#include "auth/password.h"
#include "check/check_api.h"
#include "http/page.h"
#include "http/status_address.h"
#include "http/status_socket.h"
#include "sources/sources_api.h"
#include "status/pictures.h"
#include "status/status.h"
#include "status/status_text.h"
#include "text/ascii.h"

namespace {

constexpr time_t kReadWriteSeconds = 5;
constexpr std::chrono::seconds kHeadLimit{2};
constexpr std::chrono::seconds kConnectionLimit{10};
constexpr int kMostClients = 32;
constexpr int kMostPerAddress = 8;
constexpr size_t kHeadMost = 64 * 1024;
constexpr size_t kMostHeaders = 100;
constexpr size_t kBodyMost = 64 * 1024;

using Clock = std::chrono::steady_clock;

// Never destroyed, like the server: its threads may still use them while the
// program exits.
StatusHosts& gHosts = *new StatusHosts;  // set before serving starts, only read after
StatusLogin& gLogin = *new StatusLogin;  // likewise
std::atomic<int> gServing{0};            // connections being served

struct Open {
  socket_t sock;
  std::string peer;  // the client's address
  Clock::time_point opened, deadline;
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
  gOpen.push_back({sock, peer, now, now + kHeadLimit});
  // The new deadline may be the nearest.
  gOpenChanged.notify_one();
  return true;
}

// The head has been read: the connection now has the rest of its time.
void connection_head_read(socket_t sock) {
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
    if (tHeadRead) return inner_.read(ptr, size);
    // The request line, the header lines and the blank line after them.
    if (bytes_ >= kHeadMost || lines_ > kMostHeaders + 1) {
      tHeadTooLarge = true;
      return 0;
    }
    ssize_t n = inner_.read(ptr, std::min(size, kHeadMost - bytes_));
    if (n > 0) {
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
    bool answered = false;
    if (tRefuse) {
      status_send_now(sock,
                      "HTTP/1.1 503 Service Unavailable\r\nRetry-After: 1\r\nContent-Length: 0\r\n"
                      "Cross-Origin-Resource-Policy: same-origin\r\nConnection: close\r\n\r\n");
    } else if (connection_opened(sock)) {
      tSocket = sock;
      httplib::detail::SocketStream socket_stream(sock, read_timeout_sec_, read_timeout_usec_, write_timeout_sec_,
                                                  write_timeout_usec_);
      HeadStream head(socket_stream);
      tHeadTooLarge = false;
      tHeadRead = false;
      bool closed = false;
      // Range requests are not served: every answer is whole.
      answered = process_request(head, true, closed, [](httplib::Request& req) { req.ranges.clear(); });
      connection_closed(sock);
      tSocket = INVALID_SOCKET;
    }
    httplib::detail::shutdown_socket(sock);
    httplib::detail::close_socket(sock);
    return answered;
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

void answer_text(httplib::Response& res, int status, const std::string& text) {
  res.status = status;
  res.set_content(text, "text/plain; charset=utf-8");
}

void answer_body(httplib::Response& res, const std::string& body, const char* type) {
  res.status = 200;
  res.set_content(body, type);
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
}

// A source's newest picture, as its tool wrote it (a BMP), read from its file
// a piece at a time as the answer goes out: a whole copy per connection would
// stay in each connection thread's memory pool.
void answer_picture(httplib::Response& res, const std::string& name) {
  for (const StatusRow& r : status_snapshot()) {
    if (r.name != name) continue;
    size_t size = 0;
    std::shared_ptr<FILE> in = r.picture ? pictures_open_file(r.picture_file, &size) : nullptr;
    if (!in) break;
    res.status = 200;
    res.set_header("Cache-Control", "no-store");
    res.set_header("X-Content-Type-Options", "nosniff");
    res.set_content_provider(size, "image/bmp", [in](size_t offset, size_t length, httplib::DataSink& sink) {
      char buf[8192];
      size_t n = std::min(length, sizeof buf);
      if (std::fseek(in.get(), static_cast<long>(offset), SEEK_SET) != 0 || std::fread(buf, 1, n, in.get()) != n) {
        return false;  // cut short: the client sees fewer bytes than announced
      }
      return sink.write(buf, n);
    });
    return;
  }
  answer_text(res, 404, "no picture of that source\n");
}


// A request that a page of another site made: the browser says so in
// Sec-Fetch-Site, or in an Origin that is not this server's own (null from a
// sandboxed or local page). Prometheus and curl send neither.
bool from_another_site(const httplib::Request& req) {
  std::string site = ascii_lower(req.get_header_value("Sec-Fetch-Site"));
  if (site == "cross-site" || site == "same-site") return true;
  if (req.get_header_value_count("Origin") > 1) return true;
  return req.has_header("Origin") && req.get_header_value("Origin") != "http://" + req.get_header_value("Host");
}

void log_line(const std::string& text) {
  if (gLogin.log) gLogin.log(text);
}

// The session named by the request's qor_session cookie, if it is one.
bool session_of(const httplib::Request& req, Clock::time_point now, std::string* id, std::string* csrf) {
  std::string cookies = req.get_header_value("Cookie");
  size_t at = 0;
  while (at <= cookies.size()) {
    size_t end = cookies.find(';', at);
    if (end == std::string::npos) end = cookies.size();
    std::string pair = cookies.substr(at, end - at);
    size_t first = pair.find_first_not_of(' ');
    if (first != std::string::npos && pair.compare(first, 12, "qor_session=") == 0) {
      *id = pair.substr(first + 12);
      while (!id->empty() && id->back() == ' ') id->pop_back();
      return login_sessions().use(*id, now, csrf);
    }
    at = end + 1;
  }
  return false;
}

// Whether a password is set: then the data and the API need a session. A file
// that is there but cannot be read counts as set.
bool password_set(std::string* encoded) {
  return password_file_read(gLogin.password_file, encoded) != PasswordFile::kNone;
}

bool json_body(const httplib::Request& req) {
  std::string type = ascii_lower(req.get_header_value("Content-Type"));
  type = type.substr(0, type.find(';'));
  while (!type.empty() && type.back() == ' ') type.pop_back();
  return req.get_header_value_count("Content-Type") == 1 && type == "application/json";
}

// A request the page sent: an Origin that is this server's own (a page of
// another site never gets this far, but a client without one does).
bool own_origin(const httplib::Request& req) {
  return req.get_header_value_count("Origin") == 1 &&
         req.get_header_value("Origin") == "http://" + req.get_header_value("Host");
}

void answer_json(httplib::Response& res, int status, const nlohmann::json& body) {
  answer_body(res, body.dump(), "application/json");
  res.status = status;
}

const char kCookieEnd[] = "; HttpOnly; SameSite=Strict; Path=/";

void answer_login(const httplib::Request& req, httplib::Response& res) {
  Clock::time_point now = Clock::now();
  std::string encoded;
  PasswordFile file = password_file_read(gLogin.password_file, &encoded);
  if (!own_origin(req)) return answer_text(res, 403, "refused: a login comes from this server's own page\n");
  if (!json_body(req)) return answer_text(res, 415, "a login is JSON: Content-Type: application/json\n");
  if (file == PasswordFile::kNone) {
    return answer_text(res, 403, "no password is set: qor-ndi-supervise --set-password sets one\n");
  }
  std::chrono::seconds wait = login_failures().wait(req.remote_addr, now);
  if (wait.count() > 0) {
    answer_text(res, 429, "too many failed logins from this address: try again later\n");
    res.set_header("Retry-After", std::to_string(wait.count()));
    return;
  }
  nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
  if (!body.is_object() || !body.contains("password") || !body["password"].is_string()) {
    return answer_text(res, 400, "a login is {\"password\": \"...\"}\n");
  }
  if (file == PasswordFile::kUnreadable) {
    log_line("status page: cannot read the password file " + gLogin.password_file);
    return answer_text(res, 500, "the password file cannot be read\n");
  }
  std::string password = body["password"].get<std::string>();
  if (password.size() > kPasswordMostBytes || !password_verify(encoded, password)) {
    // From when the answer goes out: the wait is the client's, not the hash's.
    login_failures().failed(req.remote_addr, Clock::now());
    log_line("status page: failed login from " + req.remote_addr);
    return answer_text(res, 403, "wrong password\n");
  }
  login_failures().succeeded(req.remote_addr);
  std::string id, csrf;
  if (session_of(req, now, &id, &csrf)) login_sessions().close(id);
  if (!login_sessions().open(now, &id, &csrf)) {
    return answer_text(res, 500, "no random bytes from the system for a session\n");
  }
  log_line("status page: login from " + req.remote_addr);
  res.status = 204;
  res.set_header("Set-Cookie", "qor_session=" + id + kCookieEnd);
  res.set_header("Cache-Control", "no-store");
}

// A change: the session, its token, the page's own Origin and a JSON body,
// else nothing changes. False with the refusal answered.
bool change_allowed(const httplib::Request& req, httplib::Response& res, std::string* id) {
  std::string csrf;
  if (!session_of(req, Clock::now(), id, &csrf)) {
    answer_text(res, 403, "log in first\n");
  } else if (req.get_header_value_count("X-CSRF-Token") != 1 ||
             !login_same(req.get_header_value("X-CSRF-Token"), csrf)) {
    answer_text(res, 403, "refused: no or a wrong X-CSRF-Token\n");
  } else if (!own_origin(req)) {
    answer_text(res, 403, "refused: a change comes from this server's own page\n");
  } else if (!json_body(req)) {
    answer_text(res, 415, "a change is JSON: Content-Type: application/json\n");
  } else {
    return true;
  }
  return false;
}

void answer_logout(const httplib::Request& req, httplib::Response& res) {
  std::string id;
  if (!change_allowed(req, res, &id)) return;
  login_sessions().close(id);
  log_line("status page: logout from " + req.remote_addr);
  res.status = 204;
  res.set_header("Set-Cookie", std::string("qor_session=; Max-Age=0") + kCookieEnd);
  res.set_header("Cache-Control", "no-store");
}

// The sources API's answer, as the supervisor gave it.
void answer_api(httplib::Response& res, const ApiAnswer& a) {
  if (a.body.empty()) {
    res.set_header("Cache-Control", "no-store");
  } else {
    answer_body(res, a.body, "application/json");
  }
  res.status = a.status;
}

void answer_sources_put(const httplib::Request& req, httplib::Response& res) {
  std::string id;
  if (!change_allowed(req, res, &id)) return;
  answer_api(res, sources_api_put(req.body, req.remote_addr));
}

void answer_sources_delete(const httplib::Request& req, httplib::Response& res) {
  std::string id;
  if (!change_allowed(req, res, &id)) return;
  if (req.get_param_value_count("name") != 1 || req.get_param_value_count("version") != 1) {
    return answer_text(res, 400, "DELETE /api/sources?name=NAME&version=VERSION\n");
  }
  answer_api(res, sources_api_remove(req.get_param_value("name"), req.get_param_value("version"),
                                        req.remote_addr));
}

void answer_restart(const httplib::Request& req, httplib::Response& res) {
  std::string id;
  if (!change_allowed(req, res, &id)) return;
  answer_api(res, sources_api_restart(req.body, req.remote_addr));
}

// POST /api/check: a change like any other, answered at once; the check runs
// on a thread of its own.
void answer_check_post(const httplib::Request& req, httplib::Response& res) {
  std::string session;
  if (!change_allowed(req, res, &session)) return;
  nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
  auto text = [&](const char* key, size_t most, bool needed, std::string* out) {
    if (!body.is_object() || !body.contains(key)) return !needed;
    if (!body[key].is_string() || body[key].get_ref<const std::string&>().size() > most) return false;
    *out = body[key].get<std::string>();
    return true;
  };
  CheckAsk ask;
  bool audio_ok = !body.is_object() || !body.contains("audio") || body["audio"].is_boolean();
  if (!text("input", 4096, true, &ask.input) || !text("user", 1024, false, &ask.user) ||
      !text("password", 1024, false, &ask.password) || !audio_ok) {
    return answer_text(res, 400,
                       "a check is {\"input\": \"rtsp://...\", \"user\": \"...\", \"password\": \"...\", "
                       "\"audio\": true}\n");
  }
  if (body.contains("audio")) ask.audio = body["audio"].get<bool>();
  std::string id;
  switch (check_api_start(ask, &id)) {
    case CheckStart::kStarted:
      return answer_json(res, 202, {{"id", id}});
    case CheckStart::kBusy:
      answer_text(res, 429, "two checks run already: try again when one has ended\n");
      res.set_header("Retry-After", "5");
      return;
    case CheckStart::kFailed:
      return answer_text(res, 503, "no check can be started just now\n");
  }
}

// GET /api/check?id= and /api/check/snapshot?id=.
void answer_check(const httplib::Request& req, httplib::Response& res, bool snapshot) {
  std::shared_ptr<const CheckResult> result;
  std::string id = req.get_param_value_count("id") == 1 ? req.get_param_value("id") : std::string();
  if (!check_api_find(id, &result)) return answer_text(res, 404, "no such check (kept 10 minutes)\n");
  if (!snapshot) return answer_body(res, check_api_answer(id, result), "application/json");
  if (!result || result->snapshot.empty()) return answer_text(res, 404, "no snapshot of that check\n");
  answer_body(res, result->snapshot, "image/jpeg");
}

httplib::Server::HandlerResponse answer(const httplib::Request& req, httplib::Response& res) {
  connection_head_read(tSocket);
  tHeadRead = true;
  std::string path = req.target.substr(0, req.target.find('?'));
  bool post = path == "/api/login" || path == "/api/logout" || (path == "/api/check" && req.method == "POST") ||
              path == "/api/restart";
  bool sources = path == "/api/sources";
  bool remove = sources && req.method == "DELETE";
  bool with_body = (post && req.method == "POST") || (sources && req.method == "PUT") || remove;
  if (req.get_header_value_count("Host") != 1 || !status_host_allowed(gHosts, req.get_header_value("Host"))) {
    answer_text(res, 421, "this server answers to its own address only\n");
  } else if (from_another_site(req)) {
    answer_text(res, 403, "refused: a request from a page of another site\n");
  } else if (with_body) {
    // The library bounds only a body of a stated length: one sent in chunks
    // or until the connection ends is refused before a byte of it is read.
    // A removal needs no body, and may come without a length.
    std::string length = req.get_header_value("Content-Length");
    if (remove && !req.has_header("Content-Length")) length = "0";
    if (req.has_header("Transfer-Encoding") || (!remove && req.get_header_value_count("Content-Length") != 1) ||
        req.get_header_value_count("Content-Length") > 1 ||
        length.empty() || length.size() > 12 || length.find_first_not_of("0123456789") != std::string::npos) {
      answer_text(res, 411, "a body with its Content-Length, and no Transfer-Encoding\n");
    } else if (std::stoull(length) > kBodyMost) {
      answer_text(res, 413, "request body too large: 64 KiB at most\n");
    } else {
      return httplib::Server::HandlerResponse::Unhandled;  // to the POST handlers, which read the body
    }
  } else if (post) {
    answer_text(res, 405, "POST only\n");
    res.set_header("Allow", "POST");
  } else if (sources && req.method != "GET" && req.method != "HEAD") {
    answer_text(res, 405, "GET, PUT and DELETE only\n");
    res.set_header("Allow", "GET, HEAD, PUT, DELETE");
  } else if (req.method != "GET" && req.method != "HEAD") {
    answer_text(res, 405, "read only: GET and HEAD\n");
    res.set_header("Allow", "GET, HEAD");
  } else if (path == "/metrics") {
    answer_body(res, metrics_text(status_snapshot(), status_tool(), Clock::now()),
                "text/plain; version=0.0.4; charset=utf-8");
  } else if (path == "/") {
    answer_body(res, status_page(), "text/html; charset=utf-8");
    res.set_header("Content-Security-Policy", status_page_policy());
    res.set_header("Referrer-Policy", "no-referrer");
  } else {
    std::string encoded, id, csrf;
    bool set = password_set(&encoded);
    bool session = set && session_of(req, Clock::now(), &id, &csrf);
    if (path == "/api/session") {
      answer_json(res, 200, {{"logged_in", session}, {"csrf", session ? nlohmann::json(csrf) : nlohmann::json()}});
    } else if (set && !session &&
               (path == "/status.json" || path == "/picture" || path.compare(0, 5, "/api/") == 0)) {
      answer_text(res, 403, "log in first\n");
    } else if (sources) {
      // Who may change the sources may see them: never without a login.
      if (session) {
        answer_api(res, sources_api_list());
      } else {
        answer_text(res, 403, "log in first\n");
      }
    } else if (path == "/status.json") {
      std::vector<StatusRow> rows = status_snapshot();
      answer_body(res, status_json_text(rows, Clock::now()), "application/json");
    } else if (path == "/picture" && req.get_param_value_count("name") == 1) {
      answer_picture(res, req.get_param_value("name"));
    } else if (path == "/api/check" || path == "/api/check/snapshot") {
      answer_check(req, res, path == "/api/check/snapshot");
    } else {
      answer_text(res, 404, "not found: /, /status.json, /metrics, /picture?name=NAME and /api/ are\n");
    }
  }
  return httplib::Server::HandlerResponse::Handled;
}

// Every refusal, ours above and the library's own (a malformed request, a
// request line too long), as one line of text.
httplib::Server::HandlerResponse refusal(const httplib::Request&, httplib::Response& res) {
  if (res.status == 400 && tHeadTooLarge) res.status = 431;
  if (res.body.empty()) {
    const char* why = res.status == 431   ? "request head too large\n"
                      : res.status == 413 ? "request body too large: 64 KiB at most\n"
                      : res.status == 414 ? "request line too long\n"
                      : res.status == 400 ? "malformed request: HTTP/1.0 or later, with a Host header\n"
                                          : "refused\n";
    answer_text(res, res.status, why);
  }
  return httplib::Server::HandlerResponse::Handled;
}

// Why the address cannot be listened on. The library keeps the error of its
// bind to itself, and closing the socket after it may clear the error
// (Windows), so a socket of our own tries the same bind.
std::string bind_error(const StatusListen& listen, int port) {
  addrinfo hints;
  std::memset(&hints, 0, sizeof hints);
  hints.ai_family = listen.family;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST;
  addrinfo* found = nullptr;
  int failed = getaddrinfo(listen.numeric_host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (failed != 0) return status_lookup_error(failed);
  std::string why = "the address could not be listened on";
  socket_t sock = ::socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  if (sock == INVALID_SOCKET) {
    why = status_socket_error();
  } else {
    status_listen_options(sock);
    int no = 0;  // as the library listens on an IPv6 address: IPv4 too
    if (found->ai_family == AF_INET6) {
      setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&no), sizeof no);
    }
    if (::bind(sock, found->ai_addr, static_cast<socklen_t>(found->ai_addrlen)) != 0 || ::listen(sock, 1) != 0) {
      why = status_socket_error();
    }
    httplib::detail::close_socket(sock);
  }
  freeaddrinfo(found);
  return why;
}

// Thread body: serves until the program ends. Should accepting fail (the
// library then closes its socket), listening starts again after a second.
void serve_thread(StatusHttp* server, StatusListen listen, int port, std::string text) {
  for (;;) {
    server->listen_after_bind();
    std::string why = status_socket_error();
    do {
      std::this_thread::sleep_for(std::chrono::seconds(1));
    } while (!server->bind_to_port(listen.numeric_host, port));
    std::fprintf(stderr, "qor-ndi-supervise: status: accepting on %s failed (%s); listening again\n", text.c_str(),
                 why.c_str());
  }
}

}  // namespace

bool status_server_start(const std::string& text, const StatusAddress& address, const StatusLogin& login,
                         std::string* message) {
  StatusListen listen;
  if (!status_address_resolve(text, address, &listen, message)) return false;
  gHosts = listen.hosts;
  gLogin = login;

  // Never deleted: its threads may still be serving while the program exits.
  auto* server = new StatusHttp();
  server->set_address_family(listen.family);
  server->set_socket_options(status_listen_options);
  server->set_read_timeout(kReadWriteSeconds, 0);
  server->set_write_timeout(kReadWriteSeconds, 0);
  server->set_keep_alive_max_count(1);
  server->set_default_headers(
      {{"Server", "qor-ndi-supervise"}, {"Cross-Origin-Resource-Policy", "same-origin"}});
  server->set_payload_max_length(kBodyMost);
  server->set_pre_routing_handler(answer);
  server->Post("/api/login", answer_login);
  server->Post("/api/logout", answer_logout);
  server->Post("/api/check", answer_check_post);
  server->Put("/api/sources", answer_sources_put);
  server->Delete("/api/sources", answer_sources_delete);
  server->Post("/api/restart", answer_restart);
  server->set_error_handler(httplib::Server::HandlerWithResponse(refusal));
  server->new_task_queue = [] { return new ConnectionSlots(); };
  if (!server->bind_to_port(listen.numeric_host, address.port)) {
    *message = "cannot serve the status on " + text + ": " + bind_error(listen, address.port);
    return false;
  }
  std::thread(cut_thread).detach();
  std::thread(serve_thread, server, listen, address.port, text).detach();
  return true;
}
