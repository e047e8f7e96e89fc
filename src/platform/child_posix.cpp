// Child processes on Linux.
//
// Between fork and exec the child only makes async-signal-safe calls: the
// program search (PATH) is done by the parent beforehand and the child tries
// the candidates with execve. If every exec fails, the child writes its errno
// into a close-on-exec pipe; the parent reads EOF when the exec succeeded, so a
// missing program fails the start at once instead of showing up later as an
// exit code of 127.
//
// The death signal (die_with_parent) follows the thread that forked, which is
// why such a start must happen on the main thread; it is set between fork and
// exec, so it is in force before the child's first instruction.
#include "child.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
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

// Descriptors 0-2 are about to be overwritten in the child; a descriptor the
// child still needs must not sit there (possible when the parent was started
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

// Descriptors the parent itself inherited without close-on-exec (from whoever
// started it) would otherwise pass on; on Windows no handle passes at all.
// Marking them instead of closing keeps the report pipe open until the exec.
// The fallback loop serves kernels before close_range.
static void everything_close_on_exec(int fd_limit) {
  if (syscall(SYS_close_range, 3u, ~0u, CLOSE_RANGE_CLOEXEC) == 0) return;
  for (int fd = 3; fd < fd_limit; ++fd) fcntl(fd, F_SETFD, FD_CLOEXEC);
}

// The parent may block its stop signals and ignore SIGPIPE, and may have been
// started with any of these ignored; exec keeps both. The child starts with the
// defaults, as from a shell.
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

// What the forked child puts on its descriptors 0, 1 and 2.
struct Stdio {
  int fd[3];
};

// Runs in the forked child; never returns.
static void exec_child(const char* const* argv, const char* const* candidates, const Stdio& stdio,
                       const ChildOptions& options, int report, pid_t parent, int fd_limit) {
  // Set here and by the parent, so that it holds from the moment fork returns
  // on either side.
  if (options.own_session) {
    setsid();
  } else {
    setpgid(0, 0);
  }
  int err = 0;
  if (options.die_with_parent && prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) {
    err = errno;
  } else if (options.die_with_parent && getppid() != parent) {
    // The parent died between fork and prctl: the death signal would never come.
    _exit(127);
  } else if (dup2(stdio.fd[0], 0) < 0 || dup2(stdio.fd[1], 1) < 0 || (stdio.fd[2] >= 0 && dup2(stdio.fd[2], 2) < 0)) {
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

static void close_all(const std::vector<int>& fds) {
  for (int fd : fds)
    if (fd >= 0) close(fd);
}

// A pipe with both ends close-on-exec and above the standard descriptors.
static bool make_pipe(int ends[2]) {
  if (pipe2(ends, O_CLOEXEC) != 0) return false;
  ends[0] = move_above_stdio(ends[0]);
  ends[1] = move_above_stdio(ends[1]);
  if (ends[0] >= 0 && ends[1] >= 0) return true;
  if (ends[0] >= 0) close(ends[0]);
  if (ends[1] >= 0) close(ends[1]);
  return false;
}

bool child_spawn(const char* const* argv, const ChildOptions& options, Child* child, int* error) {
  *error = EINVAL;
  if (!argv || !argv[0] || !argv[0][0]) return false;
  // The death signal is tied to the forking thread, not the process.
  if (options.die_with_parent && (pid_t)syscall(SYS_gettid) != getpid()) return false;

  std::vector<std::string> names;
  program_candidates(argv[0], &names);
  std::vector<const char*> candidates;
  for (const std::string& n : names) candidates.push_back(n.c_str());
  candidates.push_back(nullptr);

  int devnull = move_above_stdio(open("/dev/null", O_RDWR | O_CLOEXEC));
  int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1};
  bool ok = devnull >= 0 && (!options.pipe_stdin || make_pipe(in)) && (!options.pipe_stdout || make_pipe(out)) &&
            (!options.pipe_stderr || make_pipe(err)) && make_pipe(report);
  if (!ok) {
    *error = errno;
    close_all({devnull, in[0], in[1], out[0], out[1], err[0], err[1], report[0], report[1]});
    return false;
  }
  Stdio stdio = {{options.pipe_stdin ? in[0] : devnull, options.pipe_stdout ? out[1] : devnull,
                  options.pipe_stderr ? err[1] : options.inherit_stderr ? -1 : devnull}};

  long open_max = sysconf(_SC_OPEN_MAX);
  int fd_limit = (open_max < 0 || open_max > 65536) ? 65536 : (int)open_max;
  pid_t parent = getpid();
  pid_t pid = fork();
  if (pid == 0) exec_child(argv, candidates.data(), stdio, options, report[1], parent, fd_limit);
  *error = errno;
  // Fails harmlessly once the child has run its program (it set its group itself).
  if (pid > 0 && !options.own_session) setpgid(pid, pid);
  // The parent keeps only its ends of the pipes.
  close_all({devnull, in[0], out[1], err[1], report[1]});
  if (pid < 0) {
    close_all({in[1], out[0], err[0], report[0]});
    return false;
  }

  int code = 0;
  ssize_t n;
  do {
    n = read(report[0], &code, sizeof code);
  } while (n < 0 && errno == EINTR);
  close(report[0]);
  if (n != 0) {
    // The exec failed (or the report could not be read): collect the child,
    // which exits at once, and fail the start.
    int status;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    close_all({in[1], out[0], err[0]});
    *error = n == (ssize_t)sizeof code ? code : EIO;
    return false;
  }

  std::lock_guard<std::mutex> hold(child->lock);
  child->pid = pid;
  child->process = -1;
  child->in = in[1];
  child->out = out[0];
  child->err = err[0];
  child->ended = child->reaped = child->killed = child->kill_sent = false;
  child->kill_group = options.kill_group;
  child->code = 0;
  *error = 0;
  return true;
}

const char* child_error_text(int error) { return strerror(error); }

bool child_error_final(int error) { return error == ENOENT || error == EACCES || error == ENOEXEC; }

void child_close_stdin(Child* child) {
  if (child->in < 0) return;
  close((int)child->in);
  child->in = -1;
}

long child_read(intptr_t out, char* buffer, size_t size) {
  for (;;) {
    ssize_t n = read((int)out, buffer, size);
    if (n >= 0) return (long)n;
    if (errno != EINTR) return 0;
  }
}

void child_close_out(intptr_t out) {
  if (out >= 0) close((int)out);
}

// Under the child's lock: the end that waitid reported, the child left a zombie.
static void take_end(Child* child, const siginfo_t& info) {
  if (info.si_code == CLD_EXITED) {
    child->code = (uint32_t)info.si_status;
  } else {
    child->code = 128u + (uint32_t)info.si_status;
    child->killed = child->kill_sent && info.si_status == SIGKILL;
  }
  child->ended = true;
}

// Under the child's lock: the zombie collected. A failed wait yields 0.
static void reap(Child* child) {
  if (child->reaped) return;
  if (!child->ended) {
    int status = 0;
    pid_t r;
    do {
      r = waitpid((pid_t)child->pid, &status, 0);
    } while (r < 0 && errno == EINTR);
    child->code = 0;
    if (r == (pid_t)child->pid && WIFEXITED(status)) child->code = (uint32_t)WEXITSTATUS(status);
    if (r == (pid_t)child->pid && WIFSIGNALED(status)) {
      child->code = 128u + (uint32_t)WTERMSIG(status);
      child->killed = child->kill_sent && WTERMSIG(status) == SIGKILL;
    }
    child->ended = true;
  } else {
    int status;
    while (waitpid((pid_t)child->pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  child->reaped = true;
}

uint32_t child_wait(Child* child) {
  {
    std::lock_guard<std::mutex> hold(child->lock);
    if (child->reaped || child->pid <= 0) return child->code;
  }
  // Blocks until it has ended but leaves it a zombie, its pid reserved, so
  // that a kill from another thread meanwhile cannot reach anyone else.
  siginfo_t info;
  memset(&info, 0, sizeof info);
  int r;
  do {
    r = waitid(P_PID, (id_t)child->pid, &info, WEXITED | WNOWAIT);
  } while (r != 0 && errno == EINTR);
  std::lock_guard<std::mutex> hold(child->lock);
  if (!child->ended && r == 0 && info.si_pid == (pid_t)child->pid) take_end(child, info);
  reap(child);
  return child->code;
}

bool child_poll(Child* child) {
  std::lock_guard<std::mutex> hold(child->lock);
  if (child->ended || child->pid <= 0) return true;
  siginfo_t info;
  memset(&info, 0, sizeof info);
  if (waitid(P_PID, (id_t)child->pid, &info, WEXITED | WNOHANG | WNOWAIT) != 0) {
    if (errno == EINTR) return false;
    // Not our child any more (collected elsewhere): nothing to wait for.
    child->ended = child->reaped = true;
    child->code = 0;
    return true;
  }
  if (info.si_pid != (pid_t)child->pid) return false;
  take_end(child, info);
  return true;
}

void child_release(Child* child) {
  std::lock_guard<std::mutex> hold(child->lock);
  if (child->pid > 0 && child->ended) reap(child);
}

void child_end_group(Child* child) {
  std::lock_guard<std::mutex> hold(child->lock);
  // The zombie keeps the group's id reserved while it is not reaped.
  if (child->pid > 0 && !child->reaped) kill(-(pid_t)child->pid, SIGKILL);
}

void child_kill(Child* child) {
  std::lock_guard<std::mutex> hold(child->lock);
  // Not yet reaped, so the group's id still belongs to the child.
  if (child->reaped || child->pid <= 0) return;
  bool sent = child->kill_group && kill(-(pid_t)child->pid, SIGKILL) == 0;
  if (sent || kill((pid_t)child->pid, SIGKILL) == 0) child->kill_sent = true;
}

intptr_t child_parent_job() { return 0; }
