// The supervision loop: one tool per source, started again after the back-off
// when that can help, stopped by the stall watchdog, reloaded by name, all
// stopped at the end. supervise.cpp.
#pragma once
#include <string>
#include <vector>

#include "sources/sources.h"
#include "loop/tool_host.h"

// Runs sources (read from path, which a reload reads again unless the reload
// brings the sources) until a stop request has ended every tool, with host
// doing all that lies outside the loop; returns the exit code (0). status:
// publish every source's state for the status server.
int supervise(const std::string& path, const std::vector<SourceEntry>& sources, bool status, ToolHost& host);

// A source's name, which never changes (a reload knows sources by name).
const std::string& source_name(const Source& s);

// The status page's first answer, before the loop runs: every source starting.
void supervise_publish_first(const std::vector<SourceEntry>& sources, ToolHost& host);
