#include "run_args.h"

#include "service.h"
#include "status.h"

bool run_args_parse(const std::vector<std::string>& args, RunArgs* out) {
  std::vector<std::string> rest = args;
  *out = RunArgs();
  if (rest.size() == 3 && rest[0] == "--status") {
    out->has_status = true;
    out->status = rest[1];
    rest.erase(rest.begin(), rest.begin() + 2);
  }
  if (rest.size() != 1 || rest[0].compare(0, 1, "-") == 0 ||
      (out->has_status && !status_address_valid(out->status))) {
    return false;
  }
  out->path = rest[0];
  return true;
}

const char* run_args_usage() {
  static const std::string text =
      std::string("usage: qor-ndi-supervise [--status HOST:PORT] SOURCES.json\n") + kServiceUsage;
  return text.c_str();
}
