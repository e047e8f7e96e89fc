#include "sources/sources_api.h"

#include <cmath>
#include <mutex>
#include <utility>

#include "text/address.h"
#include "text/json_line.h"
#include "sources/sources.h"
#include "sources/sources_write.h"
#include "sources/tool_args.h"

namespace {

constexpr int kBodyDepth = 8;

// One change at a time: each reads the file, compares its version and writes.
std::mutex& gLock = *new std::mutex;
std::string& gPath = *new std::string;
SourcesApiHooks& gHooks = *new SourcesApiHooks;

ApiAnswer answer(int status, const Json& body) { return {status, json_text(body)}; }

ApiAnswer refuse(int status, const std::string& why) { return answer(status, Json{{"error", why}}); }

void log_line(const std::string& line) {
  if (gHooks.log) gHooks.log(line);
}

const std::string& text(const Json& object, const char* key) {
  static const std::string none;
  return object.contains(key) && object[key].is_string() ? object[key].get_ref<const std::string&>() : none;
}

std::vector<std::string> args_of(const Json& entry) {
  std::vector<std::string> args;
  if (entry.contains("args"))
    for (const Json& a : entry["args"]) args.push_back(a.get<std::string>());
  return args;
}

// The file as read, parsed and checked: what every answer starts from.
struct File {
  std::string bytes, version, key;
  Json config;
  std::vector<SourceEntry> entries;
};

// *ok when the file is read; else the answer to give.
ApiAnswer read_file(File* f, bool* ok) {
  std::string why;
  *ok = false;
  if (!sources_read(gPath, &f->bytes, &why)) return refuse(500, why);
  if (!sources_version_key(&f->key)) return refuse(500, "no random bytes from the system for the file's version");
  f->version = sources_version(f->bytes, f->key);
  if (!sources_parse_json(f->bytes, gPath, &f->config, &f->entries, &why)) {
    // Edited by hand since and not yet mended: the page cannot change it.
    return refuse(422, "the sources file cannot be used as it is: " + why);
  }
  *ok = true;
  return {};
}

// A source as the page shows it: its password never, only whether it has one.
Json view(const Json& entry, const SourceEntry& read) {
  PageArgs p = page_args(args_of(entry));
  Json v;
  v["name"] = read.name;
  v["input"] = mask_input(text(entry, "input"));
  v["user"] = text(entry, "user");
  v["password"] = !text(entry, "password").empty();
  v["audio"] = p.audio;
  v["width"] = p.width ? Json(p.width) : Json();
  v["height"] = p.height ? Json(p.height) : Json();
  v["fps"] = p.fps ? Json(p.fps) : Json();
  v["stall"] = read.settings.stall;
  v["enabled"] = read.settings.enabled;
  v["editable"] = p.editable;
  v["onvif"] = entry.contains("onvif") ? entry["onvif"] : Json();
  v["ptz"] = read.settings.ptz;
  return v;
}

Json list_of(const File& f) {
  Json sources = Json::array();
  const Json& entries = f.config["sources"];
  for (size_t i = 0; i < entries.size(); ++i) sources.push_back(view(entries[i], f.entries[i]));
  return Json{{"version", f.version}, {"sources", sources}};
}

int find(const File& f, const std::string& name) {
  for (size_t i = 0; i < f.entries.size(); ++i)
    if (f.entries[i].name == name) return static_cast<int>(i);
  return -1;
}

ApiAnswer stale(const File& f) {
  Json body = list_of(f);
  body["error"] = "the sources file has changed since it was shown: here it is as it is now";
  return answer(409, body);
}

// Sets or clears the args the page sets, from the page's members of source
// (missing ones stay as they are). Empty with the args set, or why not.
std::string set_args(Json* entry, const Json& source) {
  PageArgs p = page_args(args_of(*entry));
  struct Side {
    const char* key;
    int* value;
    int most;
  } sides[] = {{"width", &p.width, kMostPixels}, {"height", &p.height, kMostPixels}, {"fps", &p.fps, kMostFps}};
  bool any = false;
  for (const Side& side : sides) {
    if (!source.contains(side.key)) continue;
    any = true;
    const Json& v = source[side.key];
    if (v.is_null()) {
      *side.value = 0;
    } else if (v.is_number_integer() && v.get<int64_t>() > 0 && v.get<int64_t>() <= side.most) {
      *side.value = v.get<int>();
    } else {
      return std::string("\"") + side.key + "\" must be a whole number from 1 to " + std::to_string(side.most) +
             ", or null";
    }
  }
  if ((p.width | p.height) & 1) return "\"width\" and \"height\" must be even";
  if (source.contains("audio")) {
    if (!source["audio"].is_boolean()) return "\"audio\" must be true or false";
    p.audio = source["audio"].get<bool>();
    any = true;
  }
  if (!any) return "";
  Json args = page_args_list(p);
  if (args.empty() && !entry->contains("args")) return "";
  (*entry)["args"] = args;
  return "";
}

// Changes entry by the page's source; empty, or why it cannot be.
std::string apply(Json* entry, const Json& source) {
  static const char* const kMembers[] = {"name",   "input", "user",  "password", "audio", "width",
                                         "height", "fps",   "stall", "enabled",  "onvif", "ptz"};
  for (auto it = source.begin(); it != source.end(); ++it) {
    bool known = false;
    for (const char* m : kMembers) known = known || it.key() == m;
    if (!known) {
      return "the page sets name, input, user, password, audio, width, height, fps, stall, enabled, onvif and ptz "
             "only, not \"" + it.key() + "\"";
    }
  }
  const std::string was = text(*entry, "input");
  if (source.contains("input")) {
    if (!source["input"].is_string() || !is_rtsp_address(source["input"].get<std::string>())) {
      return "\"input\" must be an rtsp:// or rtsps:// address";
    }
    const std::string& input = source["input"].get_ref<const std::string&>();
    // The address as it was shown, its password masked, keeps the one stored.
    if (!(entry->contains("input") && input == mask_input(text(*entry, "input")))) {
      // Else the mask itself would become the password.
      if (input.find(":***@") != std::string::npos) {
        return "\"input\" holds *** where its password goes: give the password in its own field";
      }
      (*entry)["input"] = input;
    }
  }
  for (const char* key : {"user", "password"}) {
    if (!source.contains(key)) continue;  // a password left out keeps the stored one
    if (!source[key].is_string()) return std::string("\"") + key + "\" must be a string";
    if (source[key].get_ref<const std::string&>().empty()) {
      entry->erase(key);
    } else {
      (*entry)[key] = source[key];
    }
  }
  if (text(*entry, "user").empty()) entry->erase("password");
  // A stored password goes only where it was given for: to another scheme,
  // host or port it must be given again (else the new host would learn it).
  if (!text(*entry, "password").empty() && !source.contains("password") && !was.empty() &&
      address_place(was) != address_place(text(*entry, "input"))) {
    return "give the password again: the camera's address changed";
  }
  std::string why = set_args(entry, source);
  if (!why.empty()) return why;
  if (source.contains("stall")) {
    if (source["stall"].is_null()) {
      entry->erase("stall");
    } else {
      (*entry)["stall"] = source["stall"];  // the reader says what it takes
    }
  }
  if (source.contains("enabled")) {
    if (!source["enabled"].is_boolean()) return "\"enabled\" must be true or false";
    if (!source["enabled"].get<bool>() || entry->contains("enabled")) (*entry)["enabled"] = source["enabled"];
  }
  if (source.contains("onvif")) {
    if (source["onvif"].is_null()) {
      entry->erase("onvif");
    } else {
      (*entry)["onvif"] = source["onvif"];  // the reader says what it takes
    }
  }
  // On, it asks for the camera's "onvif" device and profile: the reader says so.
  if (source.contains("ptz")) {
    if (!source["ptz"].is_boolean()) return "\"ptz\" must be true or false";
    if (source["ptz"].get<bool>()) {
      (*entry)["ptz"] = true;
    } else {
      entry->erase("ptz");
    }
  }
  return "";
}

// What a change does, for the log: "add", "added", and what to.
struct Change {
  const char* verb;  // as the client meant to
  const char* done;  // as it did
  std::string what;
};

// Checks and writes config over the file f was read from; logs what changed.
ApiAnswer write(const File& f, const Json& config, const Change& change, const std::string& client) {
  std::string bytes = config.dump(2, ' ', false) + "\n";
  std::vector<SourceEntry> entries;
  std::string why, tool;
  if (!sources_read_json(config, gPath, &entries, &why, &tool)) return refuse(422, why);
  if (!sources_write(gPath, f.bytes, bytes, &why)) {
    log_line("status page: " + client + " could not " + change.verb + " " + change.what + ": " + why);
    return refuse(500, why);
  }
  File now;
  now.bytes = bytes;
  now.key = f.key;
  now.version = sources_version(bytes, f.key);
  now.config = config;
  now.entries = entries;
  log_line("status page: " + client + " " + change.done + " " + change.what + " (version " + f.version + " -> " +
           now.version + ")");
  // The sources as written, so that the loop need not read the file again.
  if (gHooks.reload) gHooks.reload(std::move(entries), std::move(tool));
  return answer(200, list_of(now));
}

std::string name_text(const std::string& name) { return Json(name).dump(-1, ' ', false, Json::error_handler_t::replace); }

// Under gLock: the file read into *f and the source named name found in it
// (*at); else *at stays -1 and the answer to give is returned.
ApiAnswer read_and_find(const std::string& name, File* f, int* at) {
  bool ok = false;
  ApiAnswer failed = read_file(f, &ok);
  if (!ok) return failed;
  *at = find(*f, name);
  return *at < 0 ? refuse(404, "no source is named " + name_text(name)) : ApiAnswer{};
}

}  // namespace

void sources_api_init(const std::string& path, const SourcesApiHooks& hooks) {
  gPath = path;
  gHooks = hooks;
}

ApiAnswer sources_api_list() {
  std::lock_guard<std::mutex> lock(gLock);
  File f;
  bool ok = false;
  ApiAnswer failed = read_file(&f, &ok);
  return ok ? answer(200, list_of(f)) : failed;
}

ApiAnswer sources_api_put(const std::string& body, const std::string& client) {
  Json request;
  std::string why;
  bool refused = false;
  if (!json_parse(body, kBodyDepth, &request, &why, &refused) || !request.is_object() ||
      !request.contains("version") || !request["version"].is_string() ||
      (request.contains("source") == request.contains("rename")) ||
      (request.contains("new") && (!request["new"].is_boolean() || request.contains("rename")))) {
    return refuse(400, "a change is {\"version\": V, \"source\": {...}} (with \"new\": true to add only) or "
                       "{\"version\": V, \"rename\": {\"from\": A, \"to\": B}}");
  }
  std::lock_guard<std::mutex> lock(gLock);
  File f;
  bool ok = false;
  ApiAnswer failed = read_file(&f, &ok);
  if (!ok) return failed;
  if (request["version"] != f.version) return stale(f);
  Json config = f.config;
  Json& entries = config["sources"];
  if (request.contains("rename")) {
    const Json& rename = request["rename"];
    if (!rename.is_object() || !rename.contains("from") || !rename.contains("to") || !rename["from"].is_string()) {
      return refuse(400, "a rename is {\"from\": A, \"to\": B}");
    }
    int at = find(f, rename["from"].get<std::string>());
    if (at < 0) return refuse(404, "no source is named " + name_text(rename["from"].get<std::string>()));
    if (!page_args(args_of(entries[static_cast<size_t>(at)])).editable) {
      return refuse(403, "this source's args were written by hand: change it in the file");
    }
    entries[static_cast<size_t>(at)]["name"] = rename["to"];
    return write(f, config,
                 {"rename", "renamed",
                  "source " + name_text(f.entries[static_cast<size_t>(at)].name) + " to " + json_text(rename["to"])},
                 client);
  }
  const Json& source = request["source"];
  if (!source.is_object() || !source.contains("name") || !source["name"].is_string()) {
    return refuse(400, "a source is an object with its \"name\"");
  }
  const std::string& name = source["name"].get_ref<const std::string&>();
  int at = find(f, name);
  // Camera names repeat ("Camera", "IPC"): an addition never changes another.
  if (at >= 0 && request.contains("new") && request["new"].get<bool>()) {
    return refuse(409, "a source is already named " + name_text(name) + ": give the new one another name");
  }
  Json entry = at < 0 ? Json{{"name", name}} : entries[static_cast<size_t>(at)];
  if (at >= 0 && !page_args(args_of(entry)).editable) {
    return refuse(403, "this source's args were written by hand: change it in the file");
  }
  if (at < 0 && !source.contains("input")) return refuse(422, "a new source needs its \"input\"");
  why = apply(&entry, source);
  if (!why.empty()) return refuse(422, why);
  if (at < 0) {
    entries.push_back(entry);
  } else {
    entries[static_cast<size_t>(at)] = entry;
  }
  return write(f, config, {at < 0 ? "add" : "change", at < 0 ? "added" : "changed", "source " + name_text(name)},
               client);
}

ApiAnswer sources_api_remove(const std::string& name, const std::string& version, const std::string& client) {
  std::lock_guard<std::mutex> lock(gLock);
  File f;
  bool ok = false;
  ApiAnswer failed = read_file(&f, &ok);
  if (!ok) return failed;
  if (version != f.version) return stale(f);
  int at = find(f, name);
  if (at < 0) return refuse(404, "no source is named " + name_text(name));
  Json config = f.config;
  config["sources"].erase(static_cast<size_t>(at));
  return write(f, config, {"remove", "removed", "source " + name_text(name)}, client);
}

ApiAnswer sources_api_restart(const std::string& body, const std::string& client) {
  Json request;
  std::string why;
  bool refused = false;
  if (!json_parse(body, kBodyDepth, &request, &why, &refused) || !request.is_object() || !request.contains("name") ||
      !request["name"].is_string()) {
    return refuse(400, "a restart is {\"name\": N}");
  }
  const std::string& name = request["name"].get_ref<const std::string&>();
  std::lock_guard<std::mutex> lock(gLock);
  File f;
  int at = -1;
  ApiAnswer failed = read_and_find(name, &f, &at);
  if (at < 0) return failed;
  if (!f.entries[static_cast<size_t>(at)].settings.enabled) return refuse(409, "the source is switched off");
  log_line("status page: " + client + " restarted source " + name_text(name));
  if (gHooks.restart) gHooks.restart(name);
  return {204, ""};
}

ApiAnswer sources_api_camera(const std::string& name, SourceCamera* out) {
  std::lock_guard<std::mutex> lock(gLock);
  File f;
  int at = -1;
  ApiAnswer failed = read_and_find(name, &f, &at);
  if (at < 0) return failed;
  const SourceEntry& source = f.entries[static_cast<size_t>(at)];
  if (source.onvif.device.empty()) return refuse(422, "the source was not found on an ONVIF camera");
  const Json& entry = f.config["sources"][static_cast<size_t>(at)];
  out->device = source.onvif.device;
  out->user = text(entry, "user");
  out->password = text(entry, "password");
  return {200, ""};
}
