#include "sources/tool_args.h"

namespace {

// The options that take the next argument as their value.
bool valued(const std::string& option) {
  for (const char* o : {"--input", "--name", "--ffmpeg", "--width", "--height", "--fps", "--monitor"})
    if (option == o) return true;
  return false;
}

// The value of option in argv (past the tool itself), or empty.
std::string value_of(const std::vector<std::string>& argv, const char* option) {
  for (size_t i = 1; i < argv.size(); ++i) {
    if (!valued(argv[i])) continue;
    if (argv[i] == option && i + 1 < argv.size()) return argv[i + 1];
    ++i;
  }
  return "";
}

// An even whole number of pixels, or a rate, as the tool takes them.
bool whole(const std::string& s, int most, int* out) {
  if (s.empty() || s.size() > 6 || s.find_first_not_of("0123456789") != std::string::npos) return false;
  *out = std::stoi(s);
  return *out > 0 && *out <= most;
}

}  // namespace

std::vector<std::string> tool_argv(const std::string& tool, const std::string& address, const std::string& name,
                                   const std::vector<std::string>& args) {
  std::vector<std::string> argv = {tool, "--input", address, "--name", name};
  argv.insert(argv.end(), args.begin(), args.end());
  return argv;
}

std::string tool_args_refusal(const std::vector<std::string>& args) {
  for (const char* option : {"--input", "--name", "--monitor", "--ptz"}) {
    for (const std::string& a : args) {
      if (a != option) continue;
      // The picture file is the supervisor's own, one per source.
      if (a == "--monitor") return "\"args\" holds --monitor, which the supervisor gives every source itself";
      return "\"args\" holds " + a + ", which comes from \"" + (option + 2) + "\"";
    }
  }
  // The tool would take the supervisor's own --monitor after it as its value.
  if (!args.empty() && valued(args.back())) {
    return "\"args\" ends with " + args.back() + ", which needs a value after it";
  }
  return "";
}

void tool_argv_add_monitor(std::vector<std::string>* argv, const std::string& file) {
  argv->insert(argv->end(), {"--monitor", file});
}

std::string tool_argv_input(const std::vector<std::string>& argv) { return value_of(argv, "--input"); }

std::string tool_argv_name(const std::vector<std::string>& argv) { return value_of(argv, "--name"); }

std::string tool_argv_ffmpeg(const std::vector<std::string>& argv) { return value_of(argv, "--ffmpeg"); }

bool tool_argv_audio(const std::vector<std::string>& argv) {
  for (size_t i = 1; i < argv.size(); ++i) {
    if (argv[i] == "--no-audio") return false;
    if (valued(argv[i])) ++i;
  }
  return true;
}

PageArgs page_args(const std::vector<std::string>& args) {
  PageArgs p;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    bool has_value = i + 1 < args.size();
    if (a == "--no-audio") {
      p.audio = false;
    } else if (a == "--width" && has_value && whole(args[i + 1], kMostPixels, &p.width)) {
      ++i;
    } else if (a == "--height" && has_value && whole(args[i + 1], kMostPixels, &p.height)) {
      ++i;
    } else if (a == "--fps" && has_value && whole(args[i + 1], kMostFps, &p.fps)) {
      ++i;
    } else {
      p.editable = false;
    }
  }
  return p;
}

std::vector<std::string> page_args_list(const PageArgs& p) {
  std::vector<std::string> args;
  if (p.width) args.insert(args.end(), {"--width", std::to_string(p.width)});
  if (p.height) args.insert(args.end(), {"--height", std::to_string(p.height)});
  if (p.fps) args.insert(args.end(), {"--fps", std::to_string(p.fps)});
  if (!p.audio) args.push_back("--no-audio");
  return args;
}
