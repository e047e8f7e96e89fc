#include "host/notify.h"

#include <errno.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

static int gSocket = -1;
static sockaddr_un gAddress;
static socklen_t gAddressLength = 0;
static double gWatchdogEvery = 0.0;

void notify_init() {
  const char* path = getenv("NOTIFY_SOCKET");
  const char* usec = getenv("WATCHDOG_USEC");
  const char* pid = getenv("WATCHDOG_PID");
  // The watchdog is this process's when no other one is named.
  if (usec && (!pid || strtoll(pid, nullptr, 10) == (long long)getpid())) {
    long long us = strtoll(usec, nullptr, 10);
    // Three pings per interval: one late wake-up still leaves two.
    if (us > 0) gWatchdogEvery = (double)us / 1e6 / 3.0;
  }
  // A path, or an abstract name written with a leading @.
  size_t len = path ? strlen(path) : 0;
  if (len > 0 && len < sizeof gAddress.sun_path && (path[0] == '/' || path[0] == '@')) {
    memset(&gAddress, 0, sizeof gAddress);
    gAddress.sun_family = AF_UNIX;
    memcpy(gAddress.sun_path, path, len);
    if (path[0] == '@') gAddress.sun_path[0] = '\0';
    gAddressLength = (socklen_t)(offsetof(sockaddr_un, sun_path) + len + (path[0] == '@' ? 0 : 1));
    gSocket = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  }
  if (gSocket < 0) gWatchdogEvery = 0.0;

  std::vector<std::string> names = {"NOTIFY_SOCKET"};
  for (char** e = environ; *e; ++e) {
    if (strncmp(*e, "WATCHDOG_", 9) == 0) {
      const char* eq = strchr(*e, '=');
      names.push_back(eq ? std::string(*e, (size_t)(eq - *e)) : std::string(*e));
    }
  }
  for (const std::string& n : names) unsetenv(n.c_str());
}

void notify_send(const char* message) {
  if (gSocket < 0) return;
  // A datagram socket never blocks the caller for long; a full queue drops
  // the message, as systemd's own client does.
  ssize_t n;
  do {
    n = sendto(gSocket, message, strlen(message), MSG_NOSIGNAL | MSG_DONTWAIT, (const sockaddr*)&gAddress,
               gAddressLength);
  } while (n < 0 && errno == EINTR);
}

double notify_watchdog_every() { return gWatchdogEvery; }
