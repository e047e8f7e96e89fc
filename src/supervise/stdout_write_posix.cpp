#include "stdout_write.h"

#include <errno.h>
#include <poll.h>
#include <unistd.h>

bool stdout_write(const char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = write(STDOUT_FILENO, data + done, len - done);
    if (n > 0) {
      done += (size_t)n;
    } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      // A stdout the parent made non-blocking: a wait, not a loss.
      pollfd p = {STDOUT_FILENO, POLLOUT, 0};
      poll(&p, 1, -1);
    } else if (n < 0 && errno != EINTR) {
      return false;
    }
  }
  return true;
}
