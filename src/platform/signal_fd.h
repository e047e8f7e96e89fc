// The stop signals (SIGINT, SIGTERM, SIGHUP) read from a signalfd instead of
// handled: nothing runs in a signal handler, and a thread waits for them as for
// any descriptor. POSIX only: the programs' *_posix.cpp files use it (Windows
// has console events instead). signal_fd_posix.cpp.
#pragma once
#include <signal.h>

// Fills set with the stop signals. With skip_ignored, one this process was
// started with ignored (nohup, a shell's background job) is left out and
// stays ignored; it is also unblocked, since a parent may have blocked it (the
// mask is inherited across exec) and Linux keeps a blocked signal pending even
// when it is ignored, where an unblocked one is discarded.
void signal_fd_stop_set(sigset_t* set, bool skip_ignored);

// Blocks set in the calling thread and returns a close-on-exec signalfd for it
// (flags: SFD_NONBLOCK or 0), or -1 with the signals let through again to their
// default action. Call on the main thread before any other thread exists:
// every thread started later inherits the mask.
int signal_fd_open(const sigset_t* set, int flags);

// Takes one signal from fd into *signo; false when none could be read (none
// pending on a non-blocking fd, or a failure). An interrupted read is retried.
bool signal_fd_take(int fd, int* signo);
