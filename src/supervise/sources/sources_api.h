// The sources file as the status page and scripts change it (/api/sources,
// /api/restart): a source's address, user and password, its picture size,
// rate and audio, its stall limit and whether it runs; nothing that would
// let a login run a program of its choice. Every change is checked by the
// file's reader, written safely (sources_write.h), logged, and run as a
// SIGHUP reload would run it. sources_api.cpp.
#pragma once
#include <string>
#include <vector>

#include "sources/sources.h"
#include "text/json_line.h"

// What the API does outside the file: tell each change, have the sources it
// wrote run (in place of reading the file again), and run a source anew now.
struct SourcesApiHooks {
  void (*log)(const std::string& line) = nullptr;
  void (*reload)(std::vector<SourceEntry> sources, std::string tool) = nullptr;
  void (*restart)(const std::string& name) = nullptr;
};

// The file the API changes and what it does beside; before the server starts.
void sources_api_init(const std::string& path, const SourcesApiHooks& hooks);

// {"version": V, "sources": [...]}: each source as the page shows it, its password never.
ApiAnswer sources_api_list();
// {"version": V, "source": {...}} adds or changes a source; {"version": V,
// "rename": {"from": A, "to": B}} renames one. 409 when the file is no longer
// at V, 422 with the reader's message, 404 for a name unknown.
ApiAnswer sources_api_put(const std::string& body, const std::string& client);
ApiAnswer sources_api_remove(const std::string& name, const std::string& version, const std::string& client);
// {"name": N}: a new run of N now.
ApiAnswer sources_api_restart(const std::string& body, const std::string& client);

// What a source's camera may be asked with: the device it was found on, and
// the stored user and password, which go to that device only.
struct SourceCamera {
  std::string device, user, password;
};
// The camera of the source named name: 200 with *out; else the answer to
// give (404 no such source, 422 one without "onvif"."device").
ApiAnswer sources_api_camera(const std::string& name, SourceCamera* out);
