#include "stdout_write.h"

#include <errno.h>
#include <poll.h>
#include <time.h>
#include <unistd.h>

// write(2) on descriptor 1: a short write is seen and finished, and EAGAIN (a
// stdout the parent made non-blocking, which is a property of the open file it
// shares with this process) is a wait, not a loss. Each write comes after poll
// has reported room, so a blocking stdout never blocks past a limit: a pipe
// with room takes up to PIPE_BUF bytes at once.

const char kNewline[] = "\n";

static long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool stderr_write(const char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(STDERR_FILENO, data + done, len - done);
    if (n > 0) {
      done += (size_t)n;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      pollfd p = {STDERR_FILENO, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (!(n < 0 && errno == EINTR)) {
      return false;
    }
  }
  return true;
}

StdoutWrite stdout_write(const char* data, size_t len, int start_ms, int finish_ms) {
  bool limited = start_ms >= 0;
  long long deadline = now_ms() + (limited ? start_ms : 0);
  size_t done = 0;
  while (done < len) {
    int wait_ms = -1;
    if (limited) {
      long long left = deadline - now_ms();
      wait_ms = left > 0 ? (int)left : 0;
    }
    pollfd p = {STDOUT_FILENO, POLLOUT, 0};
    int ready = poll(&p, 1, wait_ms);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) return done > 0 ? StdoutWrite::kCut : StdoutWrite::kNoRoom;
    // Room, or a state the write itself will report (a reader gone: EPIPE).
    ssize_t n = write(STDOUT_FILENO, data + done, len - done);
    if (n > 0) {
      if (done == 0) deadline = now_ms() + finish_ms;
      done += (size_t)n;
    } else if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
      return done > 0 ? StdoutWrite::kCut : StdoutWrite::kFailed;
    }
  }
  return StdoutWrite::kWritten;
}
