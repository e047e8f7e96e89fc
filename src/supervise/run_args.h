// The arguments of a run, [--status HOST:PORT] SOURCES.json, as the console
// run and the service's installation both take them, and the usage text with
// the service's lines where there is a service. run_args.cpp.
#pragma once
#include <string>
#include <vector>

struct RunArgs {
  bool has_status = false;
  std::string status;  // HOST:PORT of the status server, when has_status
  std::string path;    // SOURCES.json
};

// False when args are not [--status HOST:PORT] SOURCES.json with a valid address.
bool run_args_parse(const std::vector<std::string>& args, RunArgs* out);

// The whole usage text, every line ended.
const char* run_args_usage();
