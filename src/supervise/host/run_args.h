// The arguments of a run, [--status HOST:PORT] [--password-file FILE]
// SOURCES.json, as the console
// run and the service's installation both take them, and the usage text with
// the service's lines where there is a service. run_args.cpp.
#pragma once
#include <string>
#include <vector>

#include "http/status_address.h"

struct RunArgs {
  bool has_status = false;
  std::string status;     // HOST:PORT of the status server as given, when has_status
  StatusAddress address;  // status, read
  std::string password_file;  // --password-file, or empty for the default
  std::string path;       // SOURCES.json
};

// False when args are not [--status HOST:PORT] [--password-file FILE]
// SOURCES.json with a valid
// address. When the address is what is wrong, *why says so and what form it
// takes (a line without the program's name); otherwise it is left empty and
// the usage text says it.
bool run_args_parse(const std::vector<std::string>& args, RunArgs* out, std::string* why);

// The whole usage text, every line ended.
const char* run_args_usage();
