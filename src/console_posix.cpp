#include "console.h"

#include <errno.h>
#include <signal.h>
#include <unistd.h>

void console_init() { signal(SIGPIPE, SIG_IGN); }

void console_wait_input_end() {
  char buf[256];
  ssize_t n;
  do {
    n = read(STDIN_FILENO, buf, sizeof buf);
  } while (n > 0 || (n < 0 && errno == EINTR));
}
