#include "host/set_password.h"

#include <cstdio>

#include "report/output.h"
#include "auth/password.h"
#include "host/password_io.h"
#include "host/service.h"

namespace {

// One line from a pipe: at most the longest password and a CR LF, so that a
// stream without an end cannot make it grow.
bool read_line(std::string* line) {
  line->clear();
  int c;
  while ((c = std::getchar()) != EOF && c != '\n') {
    if (line->size() > kPasswordMostBytes + 1) continue;
    line->push_back(static_cast<char>(c));
  }
  if (c == EOF && line->empty()) return false;
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return true;
}

}  // namespace

std::string password_default_path() {
  std::string folder = service_data_folder();
  return folder.empty() ? std::string("/etc/qor-ndi-send/password") : folder + "password";
}

int set_password_main(const std::vector<std::string>& args) {
  std::string path = password_default_path();
  if (args.size() == 3 && args[1] == "--password-file" && !args[2].empty()) {
    path = args[2];
  } else if (args.size() != 1) {
    say("usage: qor-ndi-supervise --set-password [--password-file FILE]");
    return 64;
  }
  std::string password;
  if (password_io_terminal()) {
    std::string again;
    if (!password_io_ask("New password for the status page: ", &password) ||
        !password_io_ask("The same again: ", &again)) {
      say("no password given; nothing changed");
      return 64;
    }
    if (password != again) {
      say("the two passwords differ; nothing changed");
      return 64;
    }
  } else if (!read_line(&password)) {
    say("no password on standard input; nothing changed");
    return 64;
  }
  std::string why = password_refusal(password);
  if (!why.empty()) {
    say(why + "; nothing changed");
    return 64;
  }
  std::string encoded;
  if (!password_hash(password, &encoded)) {
    say("cannot hash the password (no random bytes from the system); nothing changed");
    return 1;
  }
  if (!password_io_write(path, encoded + "\n", &why)) {
    say(why + "; nothing changed");
    return 1;
  }
  say("password set in " + path);
  return 0;
}
