// One run of a tool: started with its stdin a pipe that the supervisor holds
// open and never writes to (closing it is how the tool is told to stop; should
// the supervisor die, it closes too and the tools stop by themselves), its
// stdout read all the time by a thread of its own (a tool whose stdout pipe is
// full blocks on its next line), its stderr the supervisor's. tool_run.cpp.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "child.h"

struct Source;

enum { kToolLineMaxBytes = 64 * 1024 };  // a longer line is dropped

struct ToolRun {
  Child child;  // the loop's: in, reaped and code change there only
};

// Starts argv in a session of its own (POSIX) or detached from the console
// (Windows), so that a terminal's Ctrl-C or Ctrl-Break reaches the supervisor
// only and each tool still ends by its stdin with its exit line. On Windows it
// also runs inside the supervisor's kill-on-close job, which ends it (and its
// decoder, in the tool's own job inside that one) if the supervisor dies. Its
// lines go to the inbox for source, then its end. Null with *why when the tool
// cannot be run at all.
std::shared_ptr<ToolRun> tool_start(const std::vector<std::string>& argv, const std::shared_ptr<Source>& source,
                                    std::string* why);
