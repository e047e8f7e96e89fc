// The status server: /status.json, /metrics, the page and its API, on the
// status address, from threads of its own. status_server.cpp.
#pragma once
#include <string>

#include "http/status_address.h"

// The status page's login: the password's file, read at each login (no file:
// no password, everything open), and where logins and failures are told.
struct StatusLogin {
  std::string password_file;
  void (*log)(const std::string& line) = nullptr;
};

// Starts serving /status.json, /metrics, / and the API (/api/session,
// /api/login, /api/logout, /api/sources, /api/restart, /api/check) on address
// (text as it was given) from threads of its own; the sources API and the
// camera checks answer as sources_api.h and check_api.h say. False with
// *message set (a line for stderr, without the program's name) when the
// address cannot be used: the caller exits 1 before anything starts.
bool status_server_start(const std::string& text, const StatusAddress& address, const StatusLogin& login,
                         std::string* message);
