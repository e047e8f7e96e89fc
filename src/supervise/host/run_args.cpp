#include "host/run_args.h"

#include "host/service.h"

bool run_args_parse(const std::vector<std::string>& args, RunArgs* out, std::string* why) {
  std::vector<std::string> rest = args;
  *out = RunArgs();
  why->clear();
  bool password_file = false;
  while (rest.size() >= 3 && (rest[0] == "--status" || rest[0] == "--password-file")) {
    if (rest[0] == "--status") {
      if (out->has_status) return false;
      out->has_status = true;
      out->status = rest[1];
    } else {
      if (password_file || rest[1].empty()) return false;
      password_file = true;
      out->password_file = rest[1];
    }
    rest.erase(rest.begin(), rest.begin() + 2);
  }
  if (rest.size() != 1 || rest[0].compare(0, 1, "-") == 0) return false;
  if (out->has_status && !status_address_parse(out->status, &out->address)) {
    *why = "--status \"" + out->status +
           "\": not a status address; it is HOST:PORT, HOST a name, an IPv4 address or an IPv6 address in "
           "brackets, PORT 1 to 65535 (127.0.0.1:8597, [::1]:8597, 0.0.0.0:8597)";
    return false;
  }
  out->path = rest[0];
  return true;
}

const char* run_args_usage() {
  static const std::string text =
      std::string("usage: qor-ndi-supervise [--status HOST:PORT] [--password-file FILE] SOURCES.json\n"
                  "       qor-ndi-supervise --set-password [--password-file FILE]\n"
                  "       qor-ndi-supervise --find-cameras [--wait SECONDS] [--user USER] [ADDRESS...]\n") +
      kServiceUsage;
  return text.c_str();
}
