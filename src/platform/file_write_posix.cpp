#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>

#include "file_write.h"

bool file_write_like(const std::string& path, const std::string& bytes, const std::string& like, std::string* why) {
  struct stat old;
  if (stat(like.c_str(), &old) != 0) {
    *why = "cannot look at " + like + ": " + strerror(errno);
    return false;
  }
  unlink(path.c_str());
  // Nobody else may read it before its mode is the old file's: it holds passwords.
  int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
  if (fd < 0) {
    *why = "cannot create " + path + ": " + strerror(errno);
    return false;
  }
  struct stat now;
  const char* step = "write";
  bool ok = true;
  for (size_t done = 0; ok && done < bytes.size();) {
    ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n > 0) {
      done += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      ok = false;
    }
  }
  // Owner and group go back to the old file's, mode too. Only root may give
  // a file to another owner: a service of its own account (which may not,
  // and whose system call filter refuses every chown) becomes the owner, and
  // keeps the group, which is its own, so that it needs no call at all.
  if (ok && fstat(fd, &now) != 0) ok = false;
  if (ok && now.st_uid != old.st_uid && fchown(fd, old.st_uid, old.st_gid) == 0) now.st_gid = old.st_gid;
  if (ok && now.st_gid != old.st_gid && fchown(fd, static_cast<uid_t>(-1), old.st_gid) != 0) {
    ok = false;
    step = "keep the group of";
  }
  if (ok && fchmod(fd, old.st_mode & 07777) != 0) {
    ok = false;
    step = "keep the mode of";
  }
  if (ok && fsync(fd) != 0) {
    ok = false;
    step = "flush";
  }
  int err = errno;
  if (close(fd) != 0 && ok) {
    ok = false;
    err = errno;
  }
  if (ok) return true;
  *why = std::string("cannot ") + step + " " + path + ": " + strerror(err);
  unlink(path.c_str());
  return false;
}

bool file_move_over(const std::string& from, const std::string& to, std::string* why) {
  if (rename(from.c_str(), to.c_str()) != 0) {
    *why = "cannot rename " + from + " to " + to + ": " + strerror(errno);
    unlink(from.c_str());
    return false;
  }
  // The rename lives in the folder: flushed too, so that a power loss cannot undo it.
  size_t slash = to.rfind('/');
  std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : to.substr(0, slash);
  int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
  return true;
}

std::string file_link_target(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return path;
  char* real = realpath(path.c_str(), nullptr);
  if (!real) return path;
  std::string target = real;
  free(real);
  return target;
}
