// The status page's view links (auth/view_links.h) on the server: the routes
// that list, make and revoke them, which a logged-in operator uses, and the
// check of a request's view=TOKEN, which opens /status.json and /picture and
// nothing else. view_routes.cpp.
#pragma once
#include "http/status_socket.h"  // first: each platform's socket headers, through httplib.h

#include <string>

#include "http/status_server.h"

// Before serving starts: the links' file beside the password file, written
// as the password file is.
void view_routes_init(const StatusLogin& login);

// Whether the request's one view parameter is a link made under encoded, the
// password hash as the file holds it now. A poll of /status.json counts as the
// link's use; a picture does not.
bool view_passed(const httplib::Request& req, const std::string& encoded);

// GET /api/views, POST /api/views {"name": ...} and DELETE /api/views?id=ID.
void answer_views_get(const httplib::Request& req, httplib::Response& res, const std::string& session);
void answer_views_post(const httplib::Request& req, httplib::Response& res, const std::string& session);
void answer_views_delete(const httplib::Request& req, httplib::Response& res, const std::string& session);
