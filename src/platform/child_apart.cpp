#include "child.h"

bool child_spawn_apart(const std::vector<std::string>& argv, bool pipe_stdin, Child* child, int* error) {
  std::vector<const char*> args;
  for (const std::string& a : argv) args.push_back(a.c_str());
  args.push_back(nullptr);
  ChildOptions options;
  options.pipe_stdin = pipe_stdin;
  options.pipe_stdout = true;
  options.pipe_stderr = true;
  options.own_session = true;
  options.parent_job = true;
  options.kill_group = true;
  return child_spawn(args.data(), options, child, error);
}
