// The status server: /status.json, /metrics, the page and its API, on the
// status address, from threads of its own. status_server.cpp.
#pragma once
#include <string>

#include "http/status_address.h"

// The status page's login: the password's file, read at each login (no file:
// no password, everything open), and where logins and failures are told.
// write_file writes the view links beside it, as the password file is written
// (none: no link can be made).
struct StatusLogin {
  std::string password_file;
  void (*log)(const std::string& line) = nullptr;
  bool (*write_file)(const std::string& path, const std::string& text, std::string* why) = nullptr;
};

// Starts serving /status.json, /metrics, / with its icon and the API
// (/api/session, /api/login, /api/logout, /api/sources, /api/restart,
// /api/check, /api/cameras, /api/views) on address
// (text as it was given) from threads of its own; the sources API and the
// camera checks answer as sources_api.h and check_api.h say. False with
// *message set (a line for stderr, without the program's name) when the
// address cannot be used: the caller exits 1 before anything starts.
bool status_server_start(const std::string& text, const StatusAddress& address, const StatusLogin& login,
                         std::string* message);
