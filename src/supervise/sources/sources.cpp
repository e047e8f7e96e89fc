// The sources file, checked whole: every message names the file and the place,
// so an operator can mend it from the journal alone.
#include "sources/sources.h"

#include <errno.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "sources/tool_args.h"
#include "text/address.h"
#include "text/json_line.h"

static const char kDefaultTool[] = "qor-ndi-send";
static const double kDefaultStall = 10.0;  // seconds without a picture after which a run counts as stalled

namespace {
struct Bad {
  std::string why;
};
}  // namespace

// A JSON string usable in an argument: non-empty unless allowed, and no NUL,
// which an argument cannot hold. (Parsing has already refused text that is not
// UTF-8, a lone surrogate included.)
static bool is_text(const Json& value, bool empty_ok) {
  if (!value.is_string()) return false;
  const std::string& s = value.get_ref<const std::string&>();
  return (empty_ok || !s.empty()) && s.find('\0') == std::string::npos;
}

// A boolean is no number of seconds, nor is infinity.
static double stall_value(const Json& value, const std::string& where) {
  if (!value.is_number() || !std::isfinite(value.get<double>()) || value.get<double>() < 0) {
    throw Bad{where + ": \"stall\" must be a number of seconds >= 0"};
  }
  return value.get<double>();
}

// The members of object outside allowed, sorted, each as JSON text with
// non-ASCII escaped; empty when there are none.
static std::string unknown_members(const Json& object, const std::set<std::string>& allowed) {
  std::set<std::string> unknown;
  for (auto it = object.begin(); it != object.end(); ++it)
    if (!allowed.count(it.key())) unknown.insert(it.key());
  std::string list;
  for (const std::string& k : unknown) list += (list.empty() ? "" : ", ") + Json(k).dump(-1, ' ', true);
  return list;
}

// The "onvif" member: strings only, the device's an http:// address.
static SourceOnvif read_onvif(const Json& onvif, const std::string& where) {
  if (!onvif.is_object()) throw Bad{where + ": \"onvif\" must be an object"};
  std::string unknown = unknown_members(onvif, {"device", "endpoint", "profile"});
  if (!unknown.empty()) throw Bad{where + ": \"onvif\": unknown member " + unknown};
  SourceOnvif out;
  struct Member {
    const char* key;
    std::string* value;
  } members[] = {{"device", &out.device}, {"endpoint", &out.endpoint}, {"profile", &out.profile}};
  for (const Member& m : members) {
    if (!onvif.contains(m.key)) continue;
    const Json& v = onvif[m.key];
    if (!is_text(v, false) || v.get_ref<const std::string&>().size() > kOnvifTextMaxBytes) {
      throw Bad{where + ": \"onvif\": \"" + m.key + "\" must be a non-empty string of at most " +
                std::to_string(kOnvifTextMaxBytes) + " bytes"};
    }
    *m.value = v.get<std::string>();
  }
  if (!out.device.empty() && out.device.compare(0, 7, "http://") != 0) {
    throw Bad{where + ": \"onvif\": \"device\" must be an http:// address"};
  }
  return out;
}

static SourceEntry read_source(const Json& entry, const std::string& where, const std::string& tool,
                              double default_stall) {
  if (!entry.is_object()) throw Bad{where + " must be an object"};
  std::string unknown =
      unknown_members(entry, {"name", "input", "user", "password", "args", "stall", "enabled", "onvif", "ptz"});
  if (!unknown.empty()) throw Bad{where + ": unknown member " + unknown};
  Json name = entry.contains("name") ? entry["name"] : Json();
  Json input = entry.contains("input") ? entry["input"] : Json();
  Json args = entry.contains("args") ? entry["args"] : Json::array();
  if (!is_text(name, false)) throw Bad{where + ": \"name\" must be a non-empty string"};
  // Every line of the source carries its name: a bounded name keeps each line
  // well below what the output takes whole.
  if (name.get_ref<const std::string&>().size() > kNameMaxBytes) {
    throw Bad{where + ": \"name\" must be at most " + std::to_string(kNameMaxBytes) + " bytes"};
  }
  if (!is_text(input, false)) throw Bad{where + ": \"input\" must be a non-empty string"};
  Json user = entry.contains("user") ? entry["user"] : Json("");
  Json password = entry.contains("password") ? entry["password"] : Json("");
  if (!is_text(user, true)) throw Bad{where + ": \"user\" must be a string"};
  if (!is_text(password, true)) throw Bad{where + ": \"password\" must be a string"};
  // Without a user the password would silently go nowhere.
  if (user.get_ref<const std::string&>().empty() && !password.get_ref<const std::string&>().empty()) {
    throw Bad{where + ": \"password\" needs a \"user\""};
  }
  if (entry.contains("enabled") && !entry["enabled"].is_boolean()) {
    throw Bad{where + ": \"enabled\" must be true or false"};
  }
  bool strings = args.is_array();
  for (size_t i = 0; strings && i < args.size(); ++i) strings = is_text(args[i], true);
  if (!strings) throw Bad{where + ": \"args\" must be an array of strings"};
  std::vector<std::string> listed;
  for (const Json& a : args) listed.push_back(a.get<std::string>());
  std::string refused = tool_args_refusal(listed);
  if (!refused.empty()) throw Bad{where + ": " + refused};
  SourceEntry source;
  source.name = name.get<std::string>();
  source.settings.stall = entry.contains("stall") ? stall_value(entry["stall"], where) : default_stall;
  source.settings.enabled = !entry.contains("enabled") || entry["enabled"].get<bool>();
  std::string address = compose_input(input.get<std::string>(), user.get<std::string>(), password.get<std::string>());
  source.settings.argv = tool_argv(tool, address, source.name, listed);
  source.masked_input = mask_input(address);
  if (entry.contains("onvif")) source.onvif = read_onvif(entry["onvif"], where);
  if (entry.contains("ptz") && !entry["ptz"].is_boolean()) throw Bad{where + ": \"ptz\" must be true or false"};
  if (entry.contains("ptz") && entry["ptz"].get<bool>()) {
    // Decided from the file alone: no camera is asked before a start.
    if (source.onvif.device.empty() || source.onvif.profile.empty()) {
      throw Bad{where + ": \"ptz\" needs the camera's \"onvif\" \"device\" and \"profile\""};
    }
    source.settings.ptz = true;
    source.settings.argv.push_back("--ptz");
    source.settings.camera.device = source.onvif.device;
    source.settings.camera.profile = source.onvif.profile;
    source.settings.camera.credentials = Credentials{user.get<std::string>(), password.get<std::string>()};
  }
  return source;
}

bool sources_parse(const std::string& bytes, const std::string& path, std::vector<SourceEntry>* out,
                   std::string* why, std::string* tool_out) {
  Json config;
  return sources_parse_json(bytes, path, &config, out, why, tool_out);
}

bool sources_parse_json(const std::string& bytes, const std::string& path, Json* config,
                        std::vector<SourceEntry>* out, std::string* why, std::string* tool) {
  // A leading byte order mark is allowed, as editors on Windows write one.
  std::string text = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
  std::string error;
  bool refused = false;
  if (!json_parse(text, kSourcesMaxDepth, config, &error, &refused)) {
    *why = refused ? path + ": " + error : path + " is not JSON: " + error;
    return false;
  }
  return sources_read_json(*config, path, out, why, tool);
}

bool sources_read_json(const Json& config, const std::string& path, std::vector<SourceEntry>* out,
                       std::string* why, std::string* tool_out) {
  try {
    if (!config.is_object()) throw Bad{path + ": the top level must be an object"};
    std::string unknown = unknown_members(config, {"tool", "sources", "stall"});
    if (!unknown.empty()) throw Bad{path + ": unknown member " + unknown};
    Json tool = config.contains("tool") ? config["tool"] : Json(kDefaultTool);
    if (!is_text(tool, false)) throw Bad{path + ": \"tool\" must be a non-empty string"};
    double default_stall = config.contains("stall") ? stall_value(config["stall"], path) : kDefaultStall;
    if (!config.contains("sources") || !config["sources"].is_array()) {
      throw Bad{path + ": \"sources\" must be an array"};
    }
    const Json& entries = config["sources"];
    std::vector<SourceEntry> sources;
    std::set<std::string> names;
    for (size_t i = 0; i < entries.size(); ++i) {
      std::string where = path + ": sources[" + std::to_string(i) + "]";
      SourceEntry source = read_source(entries[i], where, tool.get<std::string>(), default_stall);
      if (!names.insert(source.name).second) {
        throw Bad{where + ": the name " + Json(source.name).dump(-1, ' ', false) + " is used twice"};
      }
      sources.push_back(std::move(source));
    }
    *out = std::move(sources);
    if (tool_out) *tool_out = tool.get<std::string>();
    return true;
  } catch (const Bad& bad) {
    *why = bad.why;
    return false;
  }
}

bool sources_read(const std::string& path, std::string* out, std::string* why) {
  FILE* f = fopen(path.c_str(), "rb");
  if (!f) {
    *why = "cannot read " + path + ": " + strerror(errno);
    return false;
  }
  // One byte past the limit tells a file at the limit from a larger one.
  std::string bytes;
  char buf[65536];
  size_t n;
  while (bytes.size() <= kSourcesMaxBytes && (n = fread(buf, 1, sizeof buf, f)) > 0) bytes.append(buf, n);
  int err = ferror(f) ? errno : 0;
  fclose(f);
  if (err) {
    *why = "cannot read " + path + ": " + strerror(err);
    return false;
  }
  if (bytes.size() > kSourcesMaxBytes) {
    *why = path + ": larger than 1 MiB, the most a sources file may hold";
    return false;
  }
  *out = std::move(bytes);
  return true;
}

bool sources_load(const std::string& path, std::vector<SourceEntry>* out, std::string* why, std::string* tool) {
  std::string bytes;
  return sources_read(path, &bytes, why) && sources_parse(bytes, path, out, why, tool);
}
