// The sources file, checked whole: every message names the file and the place,
// so an operator can mend it from the journal alone.
#include "sources.h"

#include <errno.h>

#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <set>
#include <utility>

#include "json_line.h"

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

static SourceEntry read_source(const Json& entry, const std::string& where, const std::string& tool,
                              double default_stall) {
  if (!entry.is_object()) throw Bad{where + " must be an object"};
  std::string unknown = unknown_members(entry, {"name", "input", "user", "password", "args", "stall", "enabled"});
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
  for (const char* option : {"--input", "--name", "--monitor"}) {
    for (const Json& a : args) {
      if (a.get_ref<const std::string&>() != option) continue;
      // The picture file is the supervisor's own, one per source.
      if (std::string(option) == "--monitor") {
        throw Bad{where + ": \"args\" holds --monitor, which the supervisor gives every source itself"};
      }
      throw Bad{where + ": \"args\" holds " + option + ", which comes from \"" + (option + 2) + "\""};
    }
  }
  // The tool would take the supervisor's own --monitor after it as its value.
  if (!args.empty()) {
    const std::string& last = args.back().get_ref<const std::string&>();
    for (const char* option : {"--ffmpeg", "--width", "--height", "--fps"}) {
      if (last == option) throw Bad{where + ": \"args\" ends with " + last + ", which needs a value after it"};
    }
  }
  SourceEntry source;
  source.name = name.get<std::string>();
  source.settings.stall = entry.contains("stall") ? stall_value(entry["stall"], where) : default_stall;
  source.settings.enabled = !entry.contains("enabled") || entry["enabled"].get<bool>();
  std::string address = compose_input(input.get<std::string>(), user.get<std::string>(), password.get<std::string>());
  source.settings.argv = {tool, "--input", address, "--name", source.name};
  for (const Json& a : args) source.settings.argv.push_back(a.get<std::string>());
  source.masked_input = mask_input(address);
  return source;
}

bool sources_parse(const std::string& bytes, const std::string& path, std::vector<SourceEntry>* out,
                   std::string* why, std::string* tool_out) {
  // A leading byte order mark is allowed, as editors on Windows write one.
  std::string text = bytes.compare(0, 3, "\xEF\xBB\xBF") == 0 ? bytes.substr(3) : bytes;
  Json config;
  std::string error;
  bool refused = false;
  if (!json_parse(text, kSourcesMaxDepth, &config, &error, &refused)) {
    *why = refused ? path + ": " + error : path + " is not JSON: " + error;
    return false;
  }
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

std::string mask_input(const std::string& url) {
  size_t sep = url.find("://");
  if (sep == std::string::npos) return url;
  std::string scheme = url.substr(0, sep), rest = url.substr(sep + 3);
  size_t at = rest.rfind('@');
  if (at == std::string::npos) return url;
  std::string userinfo = rest.substr(0, at), hostpart = rest.substr(at + 1);
  size_t colon = userinfo.find(':');
  std::string user = userinfo.substr(0, colon);
  return scheme + "://" + user + (colon != std::string::npos ? ":***" : "") + "@" + hostpart;
}

namespace {

std::string replace_all(std::string text, const std::string& what, const std::string& with) {
  if (what.empty()) return text;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

std::string percent_decode(const std::string& text) {
  std::string out;
  for (size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '%' && i + 2 < text.size() && isxdigit(static_cast<unsigned char>(text[i + 1])) &&
        isxdigit(static_cast<unsigned char>(text[i + 2]))) {
      out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
      i += 2;
    } else {
      out += text[i];
    }
  }
  return out;
}

}  // namespace

std::string mask_password(const std::string& line, const std::string& address) {
  size_t sep = address.find("://");
  if (sep == std::string::npos) return line;
  std::string rest = address.substr(sep + 3);
  size_t at = rest.rfind('@');
  if (at == std::string::npos) return line;
  size_t colon = rest.substr(0, at).find(':');
  if (colon == std::string::npos) return line;
  std::string password = rest.substr(colon + 1, at - colon - 1);
  return replace_all(replace_all(line, password, "***"), percent_decode(password), "***");
}

namespace {

// Everything but RFC 3986's unreserved characters, so that a : or @ in a user
// name or password cannot end its part of the address early.
std::string percent_encode(const std::string& text) {
  static const char hex[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    if (isalnum(c) || c == '-' || c == '.' || c == '_' || c == '~') {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += hex[c >> 4];
      out += hex[c & 15];
    }
  }
  return out;
}

}  // namespace

std::string compose_input(const std::string& input, const std::string& user, const std::string& password) {
  size_t sep = input.find("://");
  if (user.empty() || sep == std::string::npos) return input;
  std::string rest = input.substr(sep + 3);
  // The authority ends at the first / ? or #; a userinfo in it ends at its last @.
  size_t end = rest.find_first_of("/?#");
  size_t at = rest.substr(0, end).rfind('@');
  std::string hostpart = at == std::string::npos ? rest : rest.substr(at + 1);
  std::string userinfo = percent_encode(user);
  if (!password.empty()) userinfo += ":" + percent_encode(password);
  return input.substr(0, sep + 3) + userinfo + "@" + hostpart;
}
