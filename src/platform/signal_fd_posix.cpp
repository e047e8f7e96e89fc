#include "signal_fd.h"

#include <errno.h>
#include <pthread.h>
#include <sys/signalfd.h>
#include <unistd.h>

void signal_fd_stop_set(sigset_t* set, bool skip_ignored) {
  sigemptyset(set);
  sigset_t ignored;
  sigemptyset(&ignored);
  const int stops[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signo : stops) {
    struct sigaction now;
    bool ign = skip_ignored && sigaction(signo, nullptr, &now) == 0 && now.sa_handler == SIG_IGN;
    sigaddset(ign ? &ignored : set, signo);
  }
  pthread_sigmask(SIG_UNBLOCK, &ignored, nullptr);
}

int signal_fd_open(const sigset_t* set, int flags) {
  pthread_sigmask(SIG_BLOCK, set, nullptr);
  int fd = signalfd(-1, set, SFD_CLOEXEC | flags);
  if (fd < 0) pthread_sigmask(SIG_UNBLOCK, set, nullptr);
  return fd;
}

bool signal_fd_take(int fd, int* signo) {
  struct signalfd_siginfo info;
  for (;;) {
    ssize_t n = read(fd, &info, sizeof info);
    if (n == (ssize_t)sizeof info) {
      *signo = (int)info.ssi_signo;
      return true;
    }
    if (!(n < 0 && errno == EINTR)) return false;
  }
}
