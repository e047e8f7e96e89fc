// What the status server answers with, and what it reads of a request's
// headers to decide. answers.cpp.
#pragma once
#include "http/status_socket.h"  // first: each platform's socket headers, through httplib.h

#include <string>

#include <nlohmann/json.hpp>

#include "text/json_line.h"

// One line of text, as every refusal is answered.
void answer_text(httplib::Response& res, int status, const std::string& text);

// A body of type that no cache keeps and no browser sniffs, status 200.
void answer_body(httplib::Response& res, const std::string& body, const char* type);

void answer_json(httplib::Response& res, int status, const nlohmann::json& body);

// An API's answer as it gave it.
void answer_api(httplib::Response& res, const ApiAnswer& a);

// A source's newest picture, as its tool wrote it (a BMP), or 404.
void answer_picture(httplib::Response& res, const std::string& name);

// A request that a page of another site made: the browser says so in
// Sec-Fetch-Site, or in an Origin that is not this server's own (null from a
// sandboxed or local page). Prometheus and curl send neither.
bool from_another_site(const httplib::Request& req);

// A request the page sent: an Origin that is this server's own (a page of
// another site never gets this far, but a client without one does).
bool own_origin(const httplib::Request& req);

// Exactly one Content-Type, and it is JSON.
bool json_body(const httplib::Request& req);
