#include "line_out.h"

#include <errno.h>
#include <poll.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

// Only write(2) on descriptor 1, never stdio: a short write is seen and
// finished, and EAGAIN (a stdout the parent made non-blocking, which is a
// property of the open file it shares with the tool) is a wait, not a loss.
// Each write comes after poll has reported room, so a blocking stdout never
// blocks: a pipe with room takes a line of up to PIPE_BUF bytes at once.

static bool gCut = false;  // a line was cut off: stdout carries no more lines

static long long now_ms() {
  timespec t;
  clock_gettime(CLOCK_MONOTONIC, &t);
  return (long long)t.tv_sec * 1000 + t.tv_nsec / 1000000;
}

bool line_out_write(const char* text, size_t len, int start_ms, int finish_ms) {
  if (gCut) return false;
  char line[kLineMaxBytes + 1];
  if (len > kLineMaxBytes) len = kLineMaxBytes;
  memcpy(line, text, len);
  line[len++] = '\n';

  long long deadline = now_ms() + start_ms;
  size_t done = 0;
  while (done < len) {
    long long left = deadline - now_ms();
    pollfd p = {STDOUT_FILENO, POLLOUT, 0};
    int ready = poll(&p, 1, left > 0 ? (int)left : 0);
    if (ready < 0 && errno == EINTR) continue;
    if (ready == 0) {
      // No room in time: a line not started is dropped whole; one started is
      // cut off, and stdout is given up.
      if (done > 0) gCut = true;
      return false;
    }
    // Room, or a state the write itself will report (a reader gone: EPIPE).
    ssize_t n = write(STDOUT_FILENO, line + done, len - done);
    if (n > 0) {
      if (done == 0) deadline = now_ms() + finish_ms;
      done += (size_t)n;
    } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
      if (done > 0) gCut = true;
      return false;
    }
  }
  return true;
}
