// JSON text as the supervisor writes it: compact, members in the order they
// came, text as UTF-8 with only what JSON requires escaped, and numbers as the
// Python script that this program replaced wrote them (2.0, 1e+16), so that a
// reader sees the same lines as before. json_line.cpp.
#pragma once
#include <nlohmann/json.hpp>

#include <string>

using Json = nlohmann::ordered_json;

// An answer of the API: its HTTP status and its JSON body (none when empty).
struct ApiAnswer {
  int status = 200;
  std::string body;
};

// The text of value (valid UTF-8 throughout, as parsing makes it).
std::string json_text(const Json& value);

// Parses text (one JSON value) with at most max_depth levels of nesting and
// each name at most once in an object. False with *why (the parser's message)
// when it is not JSON, or with *refused set when it is JSON that is nested
// deeper or names a member twice (which the library would take silently, the
// last one winning).
bool json_parse(const std::string& text, int max_depth, Json* out, std::string* why, bool* refused);
