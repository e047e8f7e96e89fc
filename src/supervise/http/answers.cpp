#include "http/answers.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "status/pictures.h"
#include "status/status.h"
#include "text/ascii.h"

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

// An API's answer, as it gave it.
void answer_api(httplib::Response& res, const ApiAnswer& a) {
  if (a.body.empty()) {
    res.set_header("Cache-Control", "no-store");
  } else {
    answer_body(res, a.body, "application/json");
  }
  res.status = a.status;
}

