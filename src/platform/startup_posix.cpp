#include "startup.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

// A parent may start the tool with stdin, stdout or stderr closed. The
// next file opened would then take that number: event lines would be written
// into it (with the NDI runtime, one of its sockets), and the stop watcher
// would read from it. Each closed one is opened onto /dev/null before anything
// else can open a file: a closed stdin then reads as its end, and lines to a
// closed stdout go nowhere.
static void fill_standard_descriptors() {
  for (int fd = 0; fd <= 2; fd++) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number is taken: fd itself, the ones below being open.
    int null_fd = open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (null_fd >= 0 && null_fd != fd) {
      dup2(null_fd, fd);
      close(null_fd);
    }
  }
}

// A parent may start the tool with SIGCHLD ignored, and exec keeps an ignored
// signal ignored. The kernel then reaps the decoder by itself the moment it
// ends: the wait finds no child, so the decoder's exit code is lost (reported as
// 0), and its pid can be reused while the stop watcher may still signal it. The
// default disposition (which also drops SA_NOCLDWAIT) keeps the decoder a
// zombie until the tool has collected it.
static void default_child_signal() {
  struct sigaction sa = {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGCHLD, &sa, nullptr);
}

void startup_init() {
  fill_standard_descriptors();
  default_child_signal();
}
