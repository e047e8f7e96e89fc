// A parent may start the tool with SIGCHLD ignored, and exec keeps an ignored
// signal ignored. The kernel then reaps the decoder by itself the moment it
// ends: the wait finds no child, so the decoder's exit code is lost (reported as
// 0), and its pid can be reused while the stop watcher may still signal it. The
// default disposition (which also drops SA_NOCLDWAIT) keeps the decoder a
// zombie until the tool has collected it.
#include "startup.h"

#include <signal.h>

void startup_init() {
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGCHLD, &sa, nullptr);
}
