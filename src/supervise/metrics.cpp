// /metrics: Prometheus text format 0.0.4, one family after another, each with
// its HELP and TYPE and one sample per source labelled with its name.
#include <cmath>
#include <string>
#include <vector>

#include "float_text.h"
#include "status.h"

namespace {

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

struct Family {
  const char* name;
  const char* kind;
  const char* help;
  std::string (*value)(const StatusRow&);
};

const Family kFamilies[] = {
    {"qor_ndi_source_up", "gauge", "1 while the source's tool runs (after its started line), else 0.",
     [](const StatusRow& r) { return std::string(r.state == "running" ? "1" : "0"); }},
    {"qor_ndi_source_fps", "gauge", "Pictures per second in the tool's last status line.",
     [](const StatusRow& r) { return sample_value(r.fps); }},
    {"qor_ndi_source_connections", "gauge", "NDI receivers in the tool's last status line.",
     [](const StatusRow& r) { return std::to_string(r.connections); }},
    {"qor_ndi_source_restarts_total", "counter", "Times the source was started again after its tool ended.",
     [](const StatusRow& r) { return std::to_string(r.restarts); }},
};

}  // namespace

std::string metrics_text(const std::vector<StatusRow>& rows) {
  std::string out;
  for (const Family& f : kFamilies) {
    out += std::string("# HELP ") + f.name + " " + f.help + "\n";
    out += std::string("# TYPE ") + f.name + " " + f.kind + "\n";
    for (const StatusRow& r : rows) out += std::string(f.name) + "{source=\"" + label(r.name) + "\"} " + f.value(r) + "\n";
  }
  return out;
}
