// Windows has no systemd. The variables are still the supervisor's own and not
// passed on, and the moments systemd hears of (ready, stopping) are what a
// service tells the Service Control Manager.
#include "host/notify.h"

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "host/service.h"

void notify_init() {
  std::vector<std::string> names = {"NOTIFY_SOCKET"};
  for (char** e = _environ; e && *e; ++e) {
    if (strncmp(*e, "WATCHDOG_", 9) == 0) {
      const char* eq = strchr(*e, '=');
      names.push_back(eq ? std::string(*e, (size_t)(eq - *e)) : std::string(*e));
    }
  }
  for (const std::string& n : names) _putenv_s(n.c_str(), "");
}

void notify_send(const char* message) {
  if (strcmp(message, "READY=1") == 0) service_running();
  if (strcmp(message, "STOPPING=1") == 0) service_stopping();
}

double notify_watchdog_every() { return 0.0; }
