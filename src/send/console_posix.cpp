// Stop signals on Linux. SIGINT, SIGTERM and SIGHUP are blocked in every thread
// (console_init runs before the first thread exists) and taken from a signalfd
// by the stop watcher, which waits on it and stdin together: nothing runs in a
// signal handler. A signal ignored when the tool was started (nohup, a shell's
// background job) stays ignored. Should the signalfd fail, the signals are let
// through and end the process by their default action, as before.
#include "console.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <atomic>

#include "signal_fd.h"

static int gSignals = -1;                  // signalfd of the stop signals, -1 without one
static sigset_t gStopSet;                  // the stop signals the tool takes (console_init)
static std::atomic<bool> gSignalled{false};  // a stop signal has been taken, or is about to be
static int gTaken = 0;                     // stop signals taken (stop watcher only)

void console_init() {
  signal(SIGPIPE, SIG_IGN);
  signal_fd_stop_set(&gStopSet, true);
  // Descriptors 0-2 are open by now (startup_init), so it cannot land there.
  gSignals = signal_fd_open(&gStopSet, SFD_NONBLOCK);
}

// Takes one pending stop signal; false when there was none. The flag is set
// before the signal leaves the pending set, so console_stop_signalled, which
// looks at the pending set first, sees it at every moment.
static bool take_signal(int* signo) {
  gSignalled.store(true);
  if (!signal_fd_take(gSignals, signo)) return false;
  gTaken++;
  return true;
}

// A poll that failed for good (not interrupted) ends the wait like an end of input.
static bool wait_readable(struct pollfd* fds, nfds_t n) {
  for (;;) {
    if (poll(fds, n, -1) >= 0) return true;
    if (errno != EINTR) return false;
  }
}

void console_wait_stop() {
  struct pollfd fds[2] = {{STDIN_FILENO, POLLIN, 0}, {gSignals, POLLIN, 0}};
  nfds_t n = gSignals >= 0 ? 2 : 1;
  char buf[256];
  while (wait_readable(fds, n)) {
    int signo;
    if (n == 2 && fds[1].revents != 0 && take_signal(&signo)) return;
    if (fds[0].revents == 0) continue;
    // A parent may hand over stdin with O_NONBLOCK set: EAGAIN is no end. Zero
    // bytes (the writer closed it, a hung-up terminal) or a real error is.
    ssize_t got = read(STDIN_FILENO, buf, sizeof buf);
    if (got == 0 || (got < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) return;
  }
}

// Only the signals of the stop set count: any other one pending is none of
// the controller's asking.
bool console_stop_signalled() {
  sigset_t pending;
  sigpending(&pending);
  bool queued = false;
  const int stops[] = {SIGINT, SIGTERM, SIGHUP};
  for (int signo : stops) queued = queued || (sigismember(&gStopSet, signo) == 1 && sigismember(&pending, signo) == 1);
  return queued || gSignalled.load();
}

int console_wait_second_signal() {
  struct pollfd fd = {gSignals, POLLIN, 0};
  while (gSignals >= 0 && wait_readable(&fd, 1)) {
    int signo;
    if (take_signal(&signo) && gTaken >= 2) return signo;
  }
  // No signalfd: the signals are not blocked and end the process themselves.
  for (;;) pause();
}

void console_end_by_signal(int signo) {
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  sigaction(signo, &dfl, nullptr);
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signo);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  // Sent to this thread, which now lets it through: the default action ends
  // the process before raise returns.
  raise(signo);
  _exit(128 + signo);
}

void console_end_now(int code) { _exit(code); }
