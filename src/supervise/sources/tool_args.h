// The tool's command line, as the supervisor writes it and reads it back:
//
//     TOOL --input ADDRESS --name NAME [ARGS...] [--monitor FILE]
//
// ARGS come from the sources file (or the page); the rest is the
// supervisor's own. The one place that knows the tool's options. tool_args.cpp.
#pragma once
#include <string>
#include <vector>

enum {
  kMostPixels = 16384,  // a side of the picture, as the page sets it
  kMostFps = 240,
};

// A source's command line.
std::vector<std::string> tool_argv(const std::string& tool, const std::string& address, const std::string& name,
                                   const std::vector<std::string>& args);

// Why args cannot stand in a source's command line (an option the supervisor
// gives itself, a last option whose value would be the supervisor's next
// one), as a message that follows the source's place; empty when they can.
std::string tool_args_refusal(const std::vector<std::string>& args);

// argv with the picture file its tool writes.
void tool_argv_add_monitor(std::vector<std::string>* argv, const std::string& file);

// What argv says, as the tool reads it: the address, the name, --ffmpeg
// (empty when none are given) and whether audio is asked for.
std::string tool_argv_input(const std::vector<std::string>& argv);
std::string tool_argv_name(const std::vector<std::string>& argv);
std::string tool_argv_ffmpeg(const std::vector<std::string>& argv);
bool tool_argv_audio(const std::vector<std::string>& argv);

// The four things the page sets in a source's args: whether it can, and
// how they stand.
struct PageArgs {
  bool editable = true;  // args hold nothing else
  bool audio = true;
  int width = 0, height = 0, fps = 0;  // 0: not given
};
PageArgs page_args(const std::vector<std::string>& args);

// The args that say p (none for what is not given).
std::vector<std::string> page_args_list(const PageArgs& p);
