// /status.json: {"sources":[...]}, one object per source in the order of the
// sources file, members always in the same order, null where a value is
// missing, text as UTF-8 (not \u escapes) and numbers as the status has always
// written them (see float_text.h).
#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "check/camera_check.h"
#include "text/float_text.h"
#include "status/pictures.h"
#include "status/status.h"

namespace {

std::string json_string(const std::string& text) {
  // The library escapes quotes, backslashes and control characters only; an
  // invalid byte (none should reach here) becomes U+FFFD instead of throwing.
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

// A number that JSON cannot hold (infinite or NaN) is written as null.
std::string json_number(double v) { return std::isfinite(v) ? float_text(v) : "null"; }

}  // namespace

std::string status_json_text(const std::vector<StatusRow>& rows, std::chrono::steady_clock::time_point now) {
  std::string out = "{\"sources\":[";
  for (size_t i = 0; i < rows.size(); ++i) {
    const StatusRow& r = rows[i];
    if (i > 0) out += ',';
    out += "{\"name\":" + json_string(r.name);
    out += ",\"input\":" + json_string(r.input);
    out += ",\"state\":" + json_string(r.state);
    out += ",\"down_since\":" + (r.has_down_since ? json_string(r.down_since_utc) : std::string("null"));
    out += ",\"next_try\":";
    if (r.has_next_try) {
      // Due already while its start again waits for a camera check: 0.
      double left = std::chrono::duration<double>(r.next_try - now).count();
      out += json_number(round_tenths(std::max(left, 0.0)));
    } else {
      out += "null";
    }
    out += ",\"fps\":" + json_number(r.fps);
    out += ",\"connections\":" + std::to_string(r.connections);
    out += ",\"restarts\":" + std::to_string(r.restarts);
    out += ",\"exit_code\":" + (r.has_exit_code ? std::to_string(r.exit_code) : std::string("null"));
    out += ",\"error\":" + (r.has_error ? json_string(r.error) : std::string("null"));
    out += ",\"stall\":" + json_number(r.stall);
    out += ",\"uptime\":";
    if (r.running) {
      double up = std::chrono::duration<double>(now - r.started_at).count();
      out += json_number(round_tenths(up));
    } else {
      out += "null";
    }
    out += ",\"level\":";
    out += r.has_level ? "[" + json_number(r.level[0]) + "," + json_number(r.level[1]) + "]" : std::string("null");
    out += std::string(",\"tally\":{\"program\":") + (r.program ? "true" : "false") +
           ",\"preview\":" + (r.preview ? "true" : "false") + "}";
    if (r.picture) {
      out += ",\"picture\":" + json_string(pictures_url(r.name));
      double age = std::chrono::duration<double>(now - r.picture_at).count();
      out += ",\"picture_age\":" + json_number(round_tenths(age));
    } else {
      out += ",\"picture\":null,\"picture_age\":null";
    }
    out += std::string(",\"frozen\":") + (status_frozen(r, now) ? "true" : "false");
    out += ",\"diagnosis\":";
    if (r.diagnosis) {
      const CheckResult& d = *r.diagnosis;
      out += "{\"reason\":" + json_string(d.reason) + ",\"message\":" + json_string(d.message) +
             ",\"detail\":" + json_string(d.detail) + ",\"at\":" + json_string(d.at) + "}";
    } else {
      out += "null";
    }
    out += ",\"ptz\":";
    if (r.ptz) {
      out += "{\"state\":" + json_string(r.ptz_state) + ",\"last\":";
      out += r.has_ptz_last ? "{\"command\":" + json_string(r.ptz_command) + ",\"result\":" +
                                  json_string(r.ptz_result) + ",\"at\":" + json_string(r.ptz_at) + "}"
                            : std::string("null");
      out += '}';
    } else {
      out += "null";
    }
    out += '}';
  }
  out += "]}";
  return out;
}
