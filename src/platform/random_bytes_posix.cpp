#include <sys/random.h>

#include <cerrno>

#include "random_bytes.h"

bool random_bytes(size_t n, std::string* out) {
  out->assign(n, '\0');
  size_t got = 0;
  while (got < n) {
    ssize_t r = getrandom(&(*out)[got], n - got, 0);
    if (r < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    got += static_cast<size_t>(r);
  }
  return true;
}
