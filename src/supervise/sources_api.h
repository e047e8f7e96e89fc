// The sources file as the status page and scripts change it (/api/sources,
// /api/restart): a source's address, user and password, its picture size,
// rate and audio, its stall limit and whether it runs; nothing that would
// let a login run a program of its choice. Every change is checked by the
// file's reader, written safely (sources_write.h), logged, and reloaded as
// SIGHUP reloads it. sources_api.cpp.
#pragma once
#include <string>
#include <vector>

#include "status.h"

// The file the API changes and where changes are told; before the server starts.
void sources_api_init(const std::string& path, void (*log)(const std::string& line));

// {"version": V, "sources": [...]}: each source as the page shows it, its password never.
StatusAnswer sources_api_list();
// {"version": V, "source": {...}} adds or changes a source; {"version": V,
// "rename": {"from": A, "to": B}} renames one. 409 when the file is no longer
// at V, 422 with the reader's message, 404 for a name unknown.
StatusAnswer sources_api_put(const std::string& body, const std::string& client);
StatusAnswer sources_api_remove(const std::string& name, const std::string& version, const std::string& client);
// {"name": N}: a new run of N now.
StatusAnswer sources_api_restart(const std::string& body, const std::string& client);

// The four things the page sets in a source's args: whether it can, and
// how they stand.
struct PageArgs {
  bool editable = true;  // args hold nothing else
  bool audio = true;
  int width = 0, height = 0, fps = 0;  // 0: not given
};
PageArgs page_args(const std::vector<std::string>& args);
