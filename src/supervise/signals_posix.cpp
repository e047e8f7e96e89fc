#include "signals.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <thread>

#include "inbox.h"
#include "signal_fd.h"

static int gSignals = -1;  // signalfd of the three signals

void signals_init() {
  signal(SIGPIPE, SIG_IGN);
  // All three, even one the supervisor was started with ignored (nohup): a
  // reload or a stop is asked for on purpose.
  sigset_t set;
  signal_fd_stop_set(&set, false);
  // Without a signalfd the signals end the process by their default action.
  gSignals = signal_fd_open(&set, 0);
}

static void signal_thread() {
  int signo;
  while (signal_fd_take(gSignals, &signo)) {
    InboxItem item;
    item.kind = signo == SIGHUP ? InboxKind::kReload : InboxKind::kStop;
    inbox_put(std::move(item));
  }
}

void signals_start() {
  if (gSignals >= 0) std::thread(signal_thread).detach();
}
