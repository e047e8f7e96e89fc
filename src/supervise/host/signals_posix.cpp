#include "host/signals.h"

#include <errno.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <fcntl.h>

#include <system_error>
#include <thread>

#include "loop/inbox.h"
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

static int gReadingStops = -1;  // signalfd of SIGINT and SIGTERM alone
static int gReadingDone[2] = {-1, -1};
static std::thread* gReadingWatch = nullptr;

// Thread body: a stop while the file is read ends the program. Reading the
// stop signals from a signalfd of their own leaves a SIGHUP pending for the
// loop, and any signal that comes after the read to the loop's signalfd.
static void reading_watch_thread() {
  pollfd fds[2] = {{gReadingStops, POLLIN, 0}, {gReadingDone[0], POLLIN, 0}};
  for (;;) {
    int n = poll(fds, 2, -1);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || (fds[1].revents & (POLLIN | POLLHUP))) return;
    if (fds[0].revents & POLLIN) {
      static const char kText[] = "qor-ndi-supervise: stopped while reading the sources file\n";
      (void)!write(2, kText, sizeof kText - 1);
      _exit(0);
    }
  }
}

void signals_reading_start() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  gReadingStops = signalfd(-1, &stops, SFD_CLOEXEC);
  if (gReadingStops < 0) return;
  if (pipe2(gReadingDone, O_CLOEXEC) != 0) {
    close(gReadingStops);
    gReadingStops = -1;
    return;
  }
  try {
    gReadingWatch = new std::thread(reading_watch_thread);
  } catch (const std::system_error&) {
    // No thread: read as before, deaf to a stop until the read ends.
  }
}

void signals_reading_done() {
  if (gReadingDone[1] >= 0) close(gReadingDone[1]);  // wakes the watch, which then ends
  gReadingDone[1] = -1;
  if (gReadingWatch) {
    gReadingWatch->join();
    delete gReadingWatch;
    gReadingWatch = nullptr;
  }
  for (int* fd : {&gReadingStops, &gReadingDone[0]}) {
    if (*fd >= 0) close(*fd);
    *fd = -1;
  }
}
