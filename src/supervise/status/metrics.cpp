// /metrics: Prometheus text format 0.0.4, one family after another, each with
// its HELP and TYPE: the build first, then per source one sample labelled with
// its name (the state one per state it can be in). A source switched off has
// its state and nothing else: it is not watched, so no alert can fire for it.
#include <chrono>
#include <cmath>
#include <string>
#include <vector>

#include "check/camera_check.h"
#include "text/float_text.h"
#include "auth/login.h"
#include "report/output.h"
#include "status/status.h"
#include "status/status_text.h"

#ifndef QOR_VERSION
#define QOR_VERSION "unknown"
#endif

namespace {

using Clock = std::chrono::steady_clock;

// A label value: backslash, quote and newline escaped.
std::string label(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\\') {
      out += "\\\\";
    } else if (c == '"') {
      out += "\\\"";
    } else if (c == '\n') {
      out += "\\n";
    } else {
      out += c;
    }
  }
  return out;
}

std::string sample_value(double v) {
  if (std::isnan(v)) return "NaN";
  if (std::isinf(v)) return v > 0 ? "+Inf" : "-Inf";
  return float_text(v);
}

// Every state a source can be in: a panel or rule that asks for one finds it
// with 0 rather than missing. A source that fails is down now, through its
// stall and its wait: "stalled" and "waiting" stay, at 0, for the panels and
// rules written for them.
const char* const kStates[] = {"starting", "running", "stalled", "waiting", "stopped", "held", "down"};

// Every reason a camera check gives (check_reason.h), likewise.
const char* const kReasons[] = {"auth", "not_found", "unreachable", "timeout", "no_name", "no_video", "not_rtsp",
                                "other"};

struct Family {
  const char* name;
  const char* kind;
  const char* help;
  std::string (*value)(const StatusRow&, Clock::time_point now);
};

const Family kFamilies[] = {
    {"qor_ndi_source_up", "gauge",
     "1 while the source is in the state running (its tool has started and it is not down), else 0.",
     [](const StatusRow& r, Clock::time_point) { return std::string(r.state == "running" ? "1" : "0"); }},
    {"qor_ndi_source_fps", "gauge", "Pictures per second in the tool's last status line.",
     [](const StatusRow& r, Clock::time_point) { return sample_value(r.fps); }},
    {"qor_ndi_source_connections", "gauge", "NDI receivers in the tool's last status line.",
     [](const StatusRow& r, Clock::time_point) { return std::to_string(r.connections); }},
    {"qor_ndi_source_restarts_total", "counter", "Times the source was started again after its tool ended.",
     [](const StatusRow& r, Clock::time_point) { return std::to_string(r.restarts); }},
    {"qor_ndi_source_stalls_total", "counter", "Runs of the source stopped by the stall watchdog.",
     [](const StatusRow& r, Clock::time_point) { return std::to_string(r.stalls); }},
    {"qor_ndi_source_seconds_since_picture", "gauge",
     "Seconds since a status line of the source counted pictures, over all its runs (before the first: since "
     "it was added).",
     [](const StatusRow& r, Clock::time_point now) {
       return sample_value(round_tenths(std::chrono::duration<double>(now - r.last_picture).count()));
     }},
    {"qor_ndi_source_stall_limit_seconds", "gauge",
     "Seconds without pictures after which the watchdog stops a run of the source (0: never).",
     [](const StatusRow& r, Clock::time_point) { return sample_value(r.stall); }},
    {"qor_ndi_source_messages_dropped_total", "counter",
     "Messages of the source's tools (stderr lines, stdout lines that are not events) dropped over 20 a second.",
     [](const StatusRow& r, Clock::time_point) { return std::to_string(r.messages_dropped); }},
};

void head(std::string* out, const char* name, const char* kind, const char* help) {
  *out += std::string("# HELP ") + name + " " + help + "\n";
  *out += std::string("# TYPE ") + name + " " + kind + "\n";
}

}  // namespace

std::string metrics_text(const std::vector<StatusRow>& rows, const std::string& tool,
                         std::chrono::steady_clock::time_point now) {
  std::string out;
  head(&out, "qor_ndi_supervise_build_info", "gauge",
       "Always 1: the supervisor's version and the tool its sources file names.");
  out += "qor_ndi_supervise_build_info{version=\"" + label(QOR_VERSION) + "\",tool=\"" + label(tool) + "\"} 1\n";
  head(&out, "qor_ndi_supervise_lines_dropped_total", "counter",
       "Lines of the supervisor's own dropped while its stdout (events) or stderr (messages) did not take them.");
  out += "qor_ndi_supervise_lines_dropped_total{stream=\"stdout\"} " + std::to_string(output_dropped_lines(false)) +
         "\n";
  out += "qor_ndi_supervise_lines_dropped_total{stream=\"stderr\"} " + std::to_string(output_dropped_lines(true)) +
         "\n";
  for (const Family& f : kFamilies) {
    head(&out, f.name, f.kind, f.help);
    for (const StatusRow& r : rows) {
      if (r.state == "off") continue;
      out += std::string(f.name) + "{source=\"" + label(r.name) + "\"} " + f.value(r, now) + "\n";
    }
  }
  head(&out, "qor_ndi_source_state", "gauge", "1 for the state the source is in, 0 for the others.");
  for (const StatusRow& r : rows) {
    for (const char* state : kStates) {
      out += "qor_ndi_source_state{source=\"" + label(r.name) + "\",state=\"" + state + "\"} " +
             (r.state == state ? "1" : "0") + "\n";
    }
    if (r.state == "off") out += "qor_ndi_source_state{source=\"" + label(r.name) + "\",state=\"off\"} 1\n";
  }
  head(&out, "qor_ndi_source_diagnosis", "gauge",
       "1 for the reason the last camera check of a failed run gave, 0 for the others (all 0 without one).");
  for (const StatusRow& r : rows) {
    if (r.state == "off") continue;
    for (const char* reason : kReasons) {
      out += "qor_ndi_source_diagnosis{source=\"" + label(r.name) + "\",reason=\"" + reason + "\"} " +
             (r.diagnosis && r.diagnosis->reason == reason ? "1" : "0") + "\n";
    }
  }
  head(&out, "qor_ndi_source_audio_peak_dbfs", "gauge",
       "Peak of each audio channel in the tool's last status line, in dBFS (-100 for silence); absent "
       "without audio.");
  for (const StatusRow& r : rows) {
    if (!r.has_level) continue;
    for (int c = 0; c < 2; ++c) {
      out += "qor_ndi_source_audio_peak_dbfs{source=\"" + label(r.name) + "\",channel=\"" +
             (c == 0 ? "left" : "right") + "\"} " + sample_value(r.level[c]) + "\n";
    }
  }
  head(&out, "qor_ndi_source_tally", "gauge",
       "1 while a receiver shows the source on program (or on preview), by the tool's last status line.");
  for (const StatusRow& r : rows) {
    if (r.state == "off") continue;
    out += "qor_ndi_source_tally{source=\"" + label(r.name) + "\",kind=\"program\"} " + (r.program ? "1" : "0") +
           "\n";
    out += "qor_ndi_source_tally{source=\"" + label(r.name) + "\",kind=\"preview\"} " + (r.preview ? "1" : "0") +
           "\n";
  }
  head(&out, "qor_ndi_source_ptz_commands_total", "counter",
       "Receivers' PTZ commands by what they came to at the camera (ok, failed, refused, replaced by a newer one, "
       "not_supported, no_preset); the supervisor's own stops as command \"stop\".");
  for (const StatusRow& r : rows) {
    for (const StatusRow::PtzCount& c : r.ptz_counts) {
      out += "qor_ndi_source_ptz_commands_total{source=\"" + label(r.name) + "\",command=\"" + label(c.command) +
             "\",result=\"" + label(c.result) + "\"} " + std::to_string(c.count) + "\n";
    }
  }
  head(&out, "qor_ndi_supervise_failed_logins_total", "counter",
       "Logins to the status page refused since the start: a wrong password, or a try while logins wait.");
  out += "qor_ndi_supervise_failed_logins_total " + std::to_string(login_failures().total()) + "\n";
  return out;
}
