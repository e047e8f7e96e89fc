#include "host/password_io.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>

bool password_io_write(const std::string& path, const std::string& text, std::string* why) {
  std::string tmp = path + ".tmp";
  unlink(tmp.c_str());
  // 0640: root writes it, the service's group reads it, nobody else.
  int fd = open(tmp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY, 0640);
  if (fd < 0) {
    *why = "cannot write " + tmp + ": " + std::strerror(errno);
    return false;
  }
  fchmod(fd, 0640);  // whatever the umask
  // The group that may read it is the folder's (the service's group, where the
  // package made the folder so); a user who is not root and not in that group
  // keeps its own, which its own supervisor reads.
  std::string folder = path.find('/') == std::string::npos ? "." : path.substr(0, path.rfind('/') + 1);
  struct stat st;
  if (stat(folder.c_str(), &st) == 0 && fchown(fd, static_cast<uid_t>(-1), st.st_gid) != 0 && errno != EPERM) {
    *why = "cannot give " + tmp + " its folder's group: " + std::strerror(errno);
    close(fd);
    unlink(tmp.c_str());
    return false;
  }
  bool ok = true;
  for (size_t done = 0; ok && done < text.size();) {
    ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n > 0) done += static_cast<size_t>(n);
    else if (n < 0 && errno == EINTR) continue;
    else ok = false;
  }
  if (ok && fsync(fd) != 0) ok = false;
  if (close(fd) != 0) ok = false;
  if (ok && rename(tmp.c_str(), path.c_str()) == 0) return true;
  *why = "cannot write " + path + ": " + std::strerror(errno);
  unlink(tmp.c_str());
  return false;
}

bool password_io_terminal() { return isatty(STDIN_FILENO) == 1; }

bool password_io_ask(const char* prompt, std::string* line) {
  // Echo off before the prompt: the switch drops what was typed before it,
  // so a password typed as soon as the prompt shows is neither lost nor shown.
  termios old;
  bool quiet = tcgetattr(STDIN_FILENO, &old) == 0;
  if (quiet) {
    termios off = old;
    off.c_lflag &= ~static_cast<tcflag_t>(ECHO);
    off.c_lflag |= ECHONL;
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &off);
  }
  std::fputs(prompt, stderr);
  std::fflush(stderr);
  bool got = static_cast<bool>(std::getline(std::cin, *line));
  if (quiet) tcsetattr(STDIN_FILENO, TCSANOW, &old);
  if (!line->empty() && line->back() == '\r') line->pop_back();
  return got;
}
