// The status page's login: the routes that open and close a session, and the
// gate each route of the server passes first. With a password file,
// everything but /metrics, the page, its icon and /api/session needs a
// session (auth/login.h), or for /status.json and /picture a view link
// (view_routes.h); each change also needs the session's token, the page's own
// Origin and a JSON body. login_routes.cpp.
#pragma once
#include "http/status_socket.h"  // first: each platform's socket headers, through httplib.h

#include <string>

#include "http/status_server.h"

// Before serving starts: the password's file and where logins are told.
void login_routes_init(const StatusLogin& login);

// Something to tell in the log, as the login's log takes it.
void login_log(const std::string& line);

// Whether a password is set, with its hash as the file holds it now (empty
// when the file is there but cannot be read: then no session or link opens).
bool login_password_set(std::string* encoded);

enum class Gate {
  kOpen,     // anyone
  kData,     // a session, when a password is set
  kView,     // a session or a view link's token (view=TOKEN), when a password is set
  kSession,  // a session, always (none without a password)
  kChange,   // a session, its X-CSRF-Token, the page's own Origin and a JSON body
};

// Whether req passes gate; false with the refusal answered. *session: the
// session's id, when it has one.
bool gate_passed(Gate gate, const httplib::Request& req, httplib::Response& res, std::string* session);

// GET /api/session: whether the request has a session, and its token.
void answer_session(const httplib::Request& req, httplib::Response& res, const std::string& session);
// POST /api/login {"password": ...} and POST /api/logout.
void answer_login(const httplib::Request& req, httplib::Response& res, const std::string& session);
void answer_logout(const httplib::Request& req, httplib::Response& res, const std::string& session);
