// The status server: /status.json, /metrics and / on the status address, from
// a thread per connection that the supervision never waits for. cpp-httplib
// reads and answers each request; the limits it lacks are put around it here:
//  - 5 s for any one read or write: the library's read and write timeouts;
//  - the limits on connections and request heads of connections.h;
//  - no answer to a request that a page of another site makes (Sec-Fetch-Site,
//    Origin), and every answer only for pages of this origin
//    (Cross-Origin-Resource-Policy), so that a page elsewhere cannot load a
//    picture or learn which sources exist;
//  - a body only for the API's POST and PUT requests, at most 64 KiB (413), of
//    a stated length (411 without one), read once the head has been.
// Each route passes its gate first (login_routes.h), as the route table says.
#include "http/status_server.h"

#include "http/status_socket.h"  // first: each platform's socket headers, through httplib.h

#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "check/camera_search.h"
#include "check/check_api.h"
#include "http/answers.h"
#include "http/connections.h"
#include "http/login_routes.h"
#include "http/page.h"
#include "http/view_routes.h"
#include "sources/sources_api.h"
#include "status/status.h"
#include "status/status_text.h"

namespace {

constexpr time_t kReadWriteSeconds = 5;

using Clock = std::chrono::steady_clock;

// Never destroyed, like the server: its threads may still use it while the
// program exits. Set before serving starts, only read after.
StatusHosts& gHosts = *new StatusHosts;

const char kNotFound[] = "not found: /, /status.json, /metrics, /picture?name=NAME, /favicon.svg and /api/ are\n";

void answer_page(const httplib::Request&, httplib::Response& res, const std::string&) {
  answer_body(res, status_page(), "text/html; charset=utf-8");
  res.set_header("Content-Security-Policy", status_page_policy());
  res.set_header("Referrer-Policy", "no-referrer");
}

// The same mark at both names: browsers ask for /favicon.ico unless the page
// names its icon. Kept for a day, unlike everything else here: it never says
// anything about the box.
void answer_icon(const httplib::Request&, httplib::Response& res, const std::string&) {
  res.status = 200;
  res.set_content(status_page_icon(), "image/svg+xml");
  res.set_header("Cache-Control", "max-age=86400");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Content-Security-Policy", "default-src 'none'");
}

void answer_metrics(const httplib::Request&, httplib::Response& res, const std::string&) {
  answer_body(res, metrics_text(status_snapshot(), status_tool(), Clock::now()),
              "text/plain; version=0.0.4; charset=utf-8");
}

void answer_status(const httplib::Request&, httplib::Response& res, const std::string&) {
  std::vector<StatusRow> rows = status_snapshot();
  answer_body(res, status_json_text(rows, Clock::now()), "application/json");
}

void answer_source_picture(const httplib::Request& req, httplib::Response& res, const std::string&) {
  if (req.get_param_value_count("name") != 1) return answer_text(res, 404, kNotFound);
  answer_picture(res, req.get_param_value("name"));
}

void answer_sources_get(const httplib::Request&, httplib::Response& res, const std::string&) {
  answer_api(res, sources_api_list());
}

void answer_sources_put(const httplib::Request& req, httplib::Response& res, const std::string&) {
  answer_api(res, sources_api_put(req.body, req.remote_addr));
}

void answer_sources_delete(const httplib::Request& req, httplib::Response& res, const std::string&) {
  if (req.get_param_value_count("name") != 1 || req.get_param_value_count("version") != 1) {
    return answer_text(res, 400, "DELETE /api/sources?name=NAME&version=VERSION\n");
  }
  answer_api(res, sources_api_remove(req.get_param_value("name"), req.get_param_value("version"),
                                        req.remote_addr));
}

void answer_restart(const httplib::Request& req, httplib::Response& res, const std::string&) {
  answer_api(res, sources_api_restart(req.body, req.remote_addr));
}

// POST /api/check: a change like any other, answered at once; the check runs
// on a thread of its own.
void answer_check_post(const httplib::Request& req, httplib::Response& res, const std::string&) {
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
void answer_check_of(const httplib::Request& req, httplib::Response& res, bool snapshot) {
  std::shared_ptr<const CheckResult> result;
  std::string id = req.get_param_value_count("id") == 1 ? req.get_param_value("id") : std::string();
  if (!check_api_find(id, &result)) return answer_text(res, 404, "no such check (kept 10 minutes)\n");
  if (!snapshot) return answer_body(res, check_api_answer(id, result), "application/json");
  if (!result || result->snapshot.empty()) return answer_text(res, 404, "no snapshot of that check\n");
  answer_body(res, result->snapshot, "image/jpeg");
}

void answer_check_get(const httplib::Request& req, httplib::Response& res, const std::string&) {
  answer_check_of(req, res, false);
}

void answer_check_snapshot(const httplib::Request& req, httplib::Response& res, const std::string&) {
  answer_check_of(req, res, true);
}

// POST /api/cameras: answered at once; the search runs on a thread of its own.
void answer_cameras_post(const httplib::Request& req, httplib::Response& res, const std::string&) {
  ApiAnswer a = camera_search_post(req.body, req.remote_addr);
  answer_api(res, a);
  if (a.status == 429) res.set_header("Retry-After", std::to_string(kSearchRetrySeconds));
}

void answer_cameras_get(const httplib::Request& req, httplib::Response& res, const std::string&) {
  answer_api(res, camera_search_get(req.get_param_value_count("id") == 1 ? req.get_param_value("id") : ""));
}

// Every route, the gate it passes first and what answers it. GET routes
// answer HEAD too.
struct Route {
  const char* method;
  const char* path;
  Gate gate;
  void (*answer)(const httplib::Request& req, httplib::Response& res, const std::string& session);
};

const Route kRoutes[] = {
    {"GET", "/", Gate::kOpen, answer_page},
    {"GET", "/metrics", Gate::kOpen, answer_metrics},
    {"GET", "/api/session", Gate::kOpen, answer_session},
    {"GET", "/favicon.svg", Gate::kOpen, answer_icon},
    {"GET", "/favicon.ico", Gate::kOpen, answer_icon},
    {"GET", "/status.json", Gate::kView, answer_status},
    {"GET", "/picture", Gate::kView, answer_source_picture},
    {"GET", "/api/check", Gate::kData, answer_check_get},
    {"GET", "/api/check/snapshot", Gate::kData, answer_check_snapshot},
    {"GET", "/api/sources", Gate::kSession, answer_sources_get},
    {"GET", "/api/cameras", Gate::kSession, answer_cameras_get},
    {"GET", "/api/views", Gate::kSession, answer_views_get},
    {"POST", "/api/login", Gate::kOpen, answer_login},
    {"POST", "/api/logout", Gate::kChange, answer_logout},
    {"POST", "/api/check", Gate::kChange, answer_check_post},
    {"POST", "/api/cameras", Gate::kChange, answer_cameras_post},
    {"PUT", "/api/sources", Gate::kChange, answer_sources_put},
    {"DELETE", "/api/sources", Gate::kChange, answer_sources_delete},
    {"POST", "/api/restart", Gate::kChange, answer_restart},
    {"POST", "/api/views", Gate::kChange, answer_views_post},
    {"DELETE", "/api/views", Gate::kChange, answer_views_delete},
};

void answer_route(const Route& route, const httplib::Request& req, httplib::Response& res) {
  std::string session;
  if (gate_passed(route.gate, req, res, &session)) route.answer(req, res, session);
}

// Refuses a method the path's routes do not take, with the ones they do (a
// path of none is read only).
void refuse_method(const std::string& path, httplib::Response& res) {
  std::string allow;
  bool read_only = true;
  for (const Route& r : kRoutes) {
    if (path != r.path) continue;
    bool get = std::strcmp(r.method, "GET") == 0;
    read_only = read_only && get;
    allow += (allow.empty() ? "" : ", ") + std::string(get ? "GET, HEAD" : r.method);
  }
  if (read_only) {
    answer_text(res, 405, "read only: GET and HEAD\n");
    allow = "GET, HEAD";
  } else {
    answer_text(res, 405, allow + " only\n");
  }
  res.set_header("Allow", allow);
}

// Before the library routes anything: the Host, the site, and for a route
// that takes a body its length, so that no body is read unless it may be;
// then the method, and GET and HEAD through the route table.
httplib::Server::HandlerResponse answer(const httplib::Request& req, httplib::Response& res) {
  connection_head_read();
  std::string path = req.target.substr(0, req.target.find('?'));
  bool head = req.method == "HEAD";
  const Route* route = nullptr;
  bool known = false;  // some route has the path
  for (const Route& r : kRoutes) {
    if (path != r.path) continue;
    known = true;
    if (req.method == r.method || (head && std::strcmp(r.method, "GET") == 0)) route = &r;
  }
  bool with_body = route && std::strcmp(route->method, "GET") != 0;
  bool remove = with_body && req.method == "DELETE";
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
      return httplib::Server::HandlerResponse::Unhandled;  // to the route's handler, which reads the body
    }
  } else if (route) {
    answer_route(*route, req, res);
  } else if (known || (req.method != "GET" && !head)) {
    refuse_method(path, res);
  } else {
    // No such page; under /api/ nothing is said, not even that, without a session.
    std::string session;
    if (path.compare(0, 5, "/api/") != 0 || gate_passed(Gate::kData, req, res, &session)) {
      answer_text(res, 404, kNotFound);
    }
  }
  return httplib::Server::HandlerResponse::Handled;
}

// Every refusal, ours above and the library's own (a malformed request, a
// request line too long), as one line of text.
httplib::Server::HandlerResponse refusal(const httplib::Request&, httplib::Response& res) {
  if (res.status == 400 && connection_head_too_large()) res.status = 431;
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
void serve_thread(httplib::Server* server, StatusListen listen, int port, std::string text) {
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
  login_routes_init(login);
  view_routes_init(login);

  httplib::Server* server = connections_server();
  server->set_address_family(listen.family);
  server->set_socket_options(status_listen_options);
  server->set_read_timeout(kReadWriteSeconds, 0);
  server->set_write_timeout(kReadWriteSeconds, 0);
  server->set_keep_alive_max_count(1);
  server->set_default_headers(
      {{"Server", "qor-ndi-supervise"}, {"Cross-Origin-Resource-Policy", "same-origin"}});
  server->set_payload_max_length(kBodyMost);
  server->set_pre_routing_handler(answer);
  // The routes that take a body: the library reads it after the pre-routing
  // handler has let the request through.
  for (const Route& route : kRoutes) {
    std::string method = route.method;
    auto handler = [&route](const httplib::Request& req, httplib::Response& res) { answer_route(route, req, res); };
    if (method == "POST") server->Post(route.path, handler);
    if (method == "PUT") server->Put(route.path, handler);
    if (method == "DELETE") server->Delete(route.path, handler);
  }
  server->set_error_handler(httplib::Server::HandlerWithResponse(refusal));
  if (!server->bind_to_port(listen.numeric_host, address.port)) {
    *message = "cannot serve the status on " + text + ": " + bind_error(listen, address.port);
    return false;
  }
  connections_cut_start();
  std::thread(serve_thread, server, listen, address.port, text).detach();
  return true;
}
