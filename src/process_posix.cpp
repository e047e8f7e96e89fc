// The decoder process on Linux.
//
// Windows puts the decoder into a kill-on-close job before it runs; here the
// same binding comes from PR_SET_PDEATHSIG, set in the child between fork and
// exec, so it is in force before the decoder's first instruction. The death
// signal follows the thread that forked, which is why the start must happen on
// the main thread.
//
// The decoder runs in a process group of its own, so signals meant for the
// tool's group (a terminal's Ctrl-C) reach the tool alone; a supervisor that
// kills the tool's group takes the decoder through the death signal.
//
// Between fork and exec the child only makes async-signal-safe calls: the
// program search (PATH) is done by the parent beforehand and the child tries
// the candidates with execve. If every exec fails, the child writes its errno
// into a close-on-exec pipe; the parent reads EOF when the exec succeeded, so a
// missing decoder fails the start at once instead of showing up later as an
// exit code of 127.
#include "process.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

extern char** environ;

struct ChildRecord {
  pid_t pid;       // 0 before a start
  bool reaped;     // waitpid has collected it: pid may belong to someone else now
  bool killed;     // terminate_child signalled it
  uint32_t code;   // exit code, valid once reaped
};

// Shared between the main thread (start, wait) and the stop watcher
// (terminate). The lock is never held while blocked in a wait, only around the
// reap and the kill, so a kill can never reach a recycled pid.
static ChildRecord gChild = {0, false, false, 0};
static pthread_mutex_t gChildLock = PTHREAD_MUTEX_INITIALIZER;

// Descriptors 0-2 are about to be overwritten in the child; a descriptor the
// child still needs must not sit there (possible when the tool was started
// with a standard stream closed).
static int move_above_stdio(int fd) {
  if (fd < 0 || fd > 2) return fd;
  int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  close(fd);
  return moved;
}

// The places execvp would try, in its order: the name itself when it holds a
// slash, else each PATH directory (an empty entry is the current directory).
static void program_candidates(const char* name, std::vector<std::string>* out) {
  if (strchr(name, '/')) {
    out->push_back(name);
    return;
  }
  const char* path = getenv("PATH");
  if (!path) path = "/bin:/usr/bin";
  for (const char* p = path;; ++p) {
    const char* end = strchr(p, ':');
    size_t len = end ? (size_t)(end - p) : strlen(p);
    std::string dir(p, len);
    out->push_back(dir.empty() ? std::string(name) : dir + "/" + name);
    if (!end) break;
    p = end;
  }
}

// Descriptors the tool itself inherited without close-on-exec (from whoever
// started it) would otherwise pass on to the decoder; on Windows no handle
// passes at all. Marking them instead of closing keeps the report pipe open
// until the exec. The fallback loop serves kernels before close_range.
static void everything_close_on_exec(int fd_limit) {
  if (syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0) return;
  for (int fd = 3; fd < fd_limit; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The tool blocks its stop signals and ignores SIGPIPE, and may have been
// started with any of these ignored; exec keeps both. The decoder starts with
// the defaults, as from a shell.
static void default_signals() {
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  const int kSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
  for (int s : kSignals) sigaction(s, &dfl, nullptr);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
}

// Runs in the forked child; never returns.
static void exec_child(const char* const* argv, const char* const* candidates, int devnull,
                       int report, pid_t parent, int fd_limit) {
  // A process group of its own: a terminal's Ctrl-C reaches the tool only,
  // which then ends the decoder as for any stop. (The parent sets it too, so
  // that it holds from the moment fork returns there.)
  setpgid(0, 0);
  int err = 0;
  if (prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    err = errno;
  } else if (getppid() != parent) {
    // The tool died between fork and prctl: the death signal would never come.
    _exit(127);
  } else if (dup2(devnull, 0) < 0 || dup2(devnull, 1) < 0 || dup2(devnull, 2) < 0) {
    err = errno;
  } else {
    everything_close_on_exec(fd_limit);
    default_signals();
    // execvp's rules: keep looking past directories where the program is
    // missing or not accessible, stop at any other failure.
    bool denied = false;
    err = ENOENT;
    for (const char* const* c = candidates; *c; ++c) {
      execve(*c, (char* const*)argv, environ);
      int e = errno;
      if (e == EACCES) {
        denied = true;
      } else if (e != ENOENT && e != ENOTDIR && e != ESTALE && e != ENODEV && e != ETIMEDOUT) {
        err = e;
        denied = false;
        break;
      }
    }
    if (denied) err = EACCES;
  }
  ssize_t w;
  do {
    w = write(report, &err, sizeof err);
  } while (w < 0 && errno == EINTR);
  _exit(127);
}

bool start_child(const char* const* argv) {
  if (!argv || !argv[0] || !argv[0][0]) return false;
  // The death signal is tied to the forking thread, not the process.
  if ((pid_t)syscall(SYS_gettid) != getpid()) return false;

  pthread_mutex_lock(&gChildLock);
  bool busy = gChild.pid > 0 && !gChild.reaped;
  pthread_mutex_unlock(&gChildLock);
  if (busy) return false;

  std::vector<std::string> names;
  program_candidates(argv[0], &names);
  std::vector<const char*> candidates;
  for (const std::string& n : names) candidates.push_back(n.c_str());
  candidates.push_back(nullptr);

  int devnull = move_above_stdio(open("/dev/null", O_RDWR | O_CLOEXEC));
  if (devnull < 0) return false;
  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    close(devnull);
    return false;
  }
  report[0] = move_above_stdio(report[0]);
  report[1] = move_above_stdio(report[1]);
  if (report[0] < 0 || report[1] < 0) {
    if (report[0] >= 0) close(report[0]);
    if (report[1] >= 0) close(report[1]);
    close(devnull);
    return false;
  }

  long open_max = sysconf(_SC_OPEN_MAX);
  int fd_limit = (open_max < 0 || open_max > 65536) ? 65536 : (int)open_max;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) exec_child(argv, candidates.data(), devnull, report[1], parent, fd_limit);
  // Fails harmlessly once the child has run its program (it set its group itself).
  if (pid > 0) setpgid(pid, pid);
  close(report[1]);
  close(devnull);
  if (pid < 0) {
    close(report[0]);
    return false;
  }

  int err = 0;
  ssize_t n;
  do {
    n = read(report[0], &err, sizeof err);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n != 0) {
    // The exec failed (or the report could not be read): collect the child,
    // which exits at once, and fail the start.
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return false;
  }

  pthread_mutex_lock(&gChildLock);
  gChild.pid = pid;
  gChild.reaped = false;
  gChild.killed = false;
  gChild.code = 0;
  pthread_mutex_unlock(&gChildLock);
  return true;
}

bool child_started() {
  pthread_mutex_lock(&gChildLock);
  bool started = gChild.pid > 0;
  pthread_mutex_unlock(&gChildLock);
  return started;
}

uint32_t child_pid() {
  pthread_mutex_lock(&gChildLock);
  pid_t pid = gChild.pid;
  pthread_mutex_unlock(&gChildLock);
  return (uint32_t)pid;
}

uint32_t wait_child() {
  pthread_mutex_lock(&gChildLock);
  pid_t pid = gChild.pid;
  bool reaped = gChild.reaped;
  uint32_t code = gChild.code;
  pthread_mutex_unlock(&gChildLock);
  if (pid <= 0 || reaped) return code;

  // Block until it has ended but leave it unreaped: while it is a zombie its
  // pid stays reserved, so terminate_child may still signal it safely.
  siginfo_t info;
  while (waitid(P_PID, (id_t)pid, &info, WEXITED | WNOWAIT) != 0 && errno == EINTR) {
  }

  pthread_mutex_lock(&gChildLock);
  if (!gChild.reaped) {
    int status = 0;
    pid_t r;
    do {
      r = waitpid(pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    // As with the Windows exit-code query, a failed reap yields 0.
    uint32_t c = 0;
    if (r == pid) {
      if (WIFEXITED(status)) {
        c = (uint32_t)WEXITSTATUS(status);
      } else if (WIFSIGNALED(status)) {
        int sig = WTERMSIG(status);
        c = (gChild.killed && sig == SIGKILL) ? 0u : 128u + (uint32_t)sig;
      }
    }
    gChild.code = c;
    gChild.reaped = true;
  }
  code = gChild.code;
  pthread_mutex_unlock(&gChildLock);
  return code;
}

void terminate_child() {
  pthread_mutex_lock(&gChildLock);
  if (gChild.pid > 0 && !gChild.reaped) {
    if (kill(gChild.pid, SIGKILL) == 0) gChild.killed = true;
  }
  pthread_mutex_unlock(&gChildLock);
}
