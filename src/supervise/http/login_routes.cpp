#include "http/login_routes.h"

#include <chrono>

#include <nlohmann/json.hpp>

#include "auth/login.h"
#include "auth/password.h"
#include "http/answers.h"
#include "http/view_routes.h"

namespace {

using Clock = std::chrono::steady_clock;

// Never destroyed: the server's threads may still use it while the program
// exits. Set before serving starts, only read after.
StatusLogin& gLogin = *new StatusLogin;

// Whether a person made the request: the page marks its own refreshes and
// polls with X-Qor-Background, and a picture is only ever loaded by them. The
// mark can only keep a request from counting as use, never make it count.
bool by_person(const httplib::Request& req) {
  return !req.has_header("X-Qor-Background") && req.path != "/picture";
}

// The session named by the request's qor_session cookie, if it is one that
// was opened with hash, the password's hash as it is now.
bool session_of(const httplib::Request& req, Clock::time_point now, const std::string& hash, std::string* id,
                std::string* csrf) {
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
      return login_sessions().use(*id, now, hash, by_person(req), csrf);
    }
    at = end + 1;
  }
  return false;
}

const char kCookieEnd[] = "; HttpOnly; SameSite=Strict; Path=/";

// A change: the session, its token, the page's own Origin and a JSON body,
// else nothing changes. False with the refusal answered.
bool change_allowed(const httplib::Request& req, httplib::Response& res, std::string* id) {
  std::string encoded, csrf;
  if (!login_password_set(&encoded)) {
    // Whatever cookie the client holds: no password, no changes.
    answer_text(res, 403, "no password is set: qor-ndi-supervise --set-password sets one\n");
  } else if (!session_of(req, Clock::now(), encoded, id, &csrf)) {
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

}  // namespace

void login_routes_init(const StatusLogin& login) { gLogin = login; }

void login_log(const std::string& text) {
  if (gLogin.log) gLogin.log(text);
}

// A file that is there but cannot be read counts as set, with no hash that a
// session could have been opened with. The hash is what each session and view
// link is checked against, so that a new password or none ends all of them.
bool login_password_set(std::string* encoded) {
  encoded->clear();
  return password_file_read(gLogin.password_file, encoded) != PasswordFile::kNone;
}

bool gate_passed(Gate gate, const httplib::Request& req, httplib::Response& res, std::string* session) {
  std::string encoded, csrf;
  switch (gate) {
    case Gate::kOpen:
      return true;
    case Gate::kData:
      if (!login_password_set(&encoded) || session_of(req, Clock::now(), encoded, session, &csrf)) return true;
      break;
    case Gate::kView:
      if (!login_password_set(&encoded)) return true;
      // A wall screen's link: the token alone decides, and no session is
      // touched, so that a wall counts as no person's use of one.
      if (req.has_param("view")) {
        if (view_passed(req, encoded)) return true;
        answer_text(res, 401, "this view link no longer works\n");
        return false;
      }
      if (session_of(req, Clock::now(), encoded, session, &csrf)) return true;
      break;
    case Gate::kSession:
      // Who may change the sources may see them: never without a login.
      if (login_password_set(&encoded) && session_of(req, Clock::now(), encoded, session, &csrf)) return true;
      break;
    case Gate::kChange:
      return change_allowed(req, res, session);
  }
  answer_text(res, 403, "log in first\n");
  return false;
}

void answer_session(const httplib::Request& req, httplib::Response& res, const std::string&) {
  std::string encoded, id, csrf;
  bool session = login_password_set(&encoded) && session_of(req, Clock::now(), encoded, &id, &csrf);
  answer_json(res, 200, {{"logged_in", session}, {"csrf", session ? nlohmann::json(csrf) : nlohmann::json()}});
}

void answer_login(const httplib::Request& req, httplib::Response& res, const std::string&) {
  Clock::time_point now = Clock::now();
  std::string encoded;
  PasswordFile file = password_file_read(gLogin.password_file, &encoded);
  if (!own_origin(req)) return answer_text(res, 403, "refused: a login comes from this server's own page\n");
  if (!json_body(req)) return answer_text(res, 415, "a login is JSON: Content-Type: application/json\n");
  if (file == PasswordFile::kNone) {
    return answer_text(res, 403, "no password is set: qor-ndi-supervise --set-password sets one\n");
  }
  nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
  if (!body.is_object() || !body.contains("password") || !body["password"].is_string()) {
    return answer_text(res, 400, "a login is {\"password\": \"...\"}\n");
  }
  if (file == PasswordFile::kUnreadable) {
    login_log("status page: cannot read the password file " + gLogin.password_file);
    return answer_text(res, 500, "the password file cannot be read\n");
  }
  // Counted now, before the check: tries sent at once wait like tries in a row.
  std::chrono::seconds wait = login_failures().start(req.remote_addr, now);
  if (wait.count() > 0) {
    login_failures().refused();
    login_log("status page: refused a login from " + req.remote_addr + ": too many failed logins, " +
              std::to_string(wait.count()) + " s to wait");
    answer_text(res, 429, "too many failed logins: try again later\n");
    res.set_header("Retry-After", std::to_string(wait.count()));
    return;
  }
  std::string password = body["password"].get<std::string>();
  if (password.size() > kPasswordMostBytes || !password_verify(encoded, password)) {
    // From when the answer goes out: the wait is the client's, not the hash's.
    login_failures().failed(req.remote_addr, Clock::now());
    login_log("status page: failed login from " + req.remote_addr);
    return answer_text(res, 403, "wrong password\n");
  }
  login_failures().succeeded(req.remote_addr, now);
  std::string id, csrf;
  if (session_of(req, now, encoded, &id, &csrf)) login_sessions().close(id);
  if (!login_sessions().open(now, encoded, &id, &csrf)) {
    return answer_text(res, 500, "no random bytes from the system for a session\n");
  }
  login_log("status page: login from " + req.remote_addr);
  res.status = 204;
  res.set_header("Set-Cookie", "qor_session=" + id + kCookieEnd);
  res.set_header("Cache-Control", "no-store");
}

void answer_logout(const httplib::Request& req, httplib::Response& res, const std::string& id) {
  login_sessions().close(id);
  login_log("status page: logout from " + req.remote_addr);
  res.status = 204;
  res.set_header("Set-Cookie", std::string("qor_session=; Max-Age=0") + kCookieEnd);
  res.set_header("Cache-Control", "no-store");
}

