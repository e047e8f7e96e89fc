// The system's tool host (loop/tool_host.h). tool_run.cpp.
#pragma once
#include "loop/tool_host.h"

// The system's host. Its tools run in a session of their own (POSIX) or
// detached from the console (Windows), so that a terminal's Ctrl-C or
// Ctrl-Break reaches the supervisor only and each tool still ends by its stdin
// with its exit line; on Windows inside the supervisor's kill-on-close job,
// which ends them (and their decoders, in each tool's own job inside that one)
// if the supervisor dies. Each run's stdout and stderr are read all the time
// by a thread each (a tool whose pipe is full blocks on its next line).
ToolHost& system_tool_host();
