#include "file_replace.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <unistd.h>

#include <string>

bool file_replace(const char* path, const uint8_t* data, size_t size) {
  std::string tmp = std::string(path) + ".tmp";
  // Non-blocking: a FIFO left under that name must not hold the writer.
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY | O_NONBLOCK, 0644);
  if (fd < 0) return false;
  bool ok = true;
  for (size_t done = 0; ok && done < size;) {
    ssize_t n = write(fd, data + done, size - done);
    if (n > 0) done += (size_t)n;
    else if (n < 0 && errno == EINTR) continue;
    else ok = false;
  }
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path) == 0) return true;
  unlink(tmp.c_str());
  return false;
}

bool file_rename(const char* from, const char* to) { return rename(from, to) == 0; }
