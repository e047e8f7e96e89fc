#include "signals.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <thread>

#include "inbox.h"

static int gSignals = -1;  // signalfd of the three signals

void signals_init() {
  signal(SIGPIPE, SIG_IGN);
  // All three, even one the supervisor was started with ignored (nohup): a
  // reload or a stop is asked for on purpose.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  sigaddset(&set, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
  gSignals = signalfd(-1, &set, SFD_CLOEXEC);
  // Without a signalfd the signals end the process by their default action.
  if (gSignals < 0) pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
}

static void signal_thread() {
  for (;;) {
    signalfd_siginfo info;
    ssize_t n = read(gSignals, &info, sizeof info);
    if (n < 0 && errno == EINTR) continue;
    if (n != (ssize_t)sizeof info) return;
    InboxItem item;
    item.kind = info.ssi_signo == SIGHUP ? InboxKind::kReload : InboxKind::kStop;
    inbox_put(std::move(item));
  }
}

void signals_start() {
  if (gSignals >= 0) std::thread(signal_thread).detach();
}
