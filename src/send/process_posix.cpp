// The decoder process on Linux: one child started through child_spawn with
// its stdio on the null device, in a process group of its own and bound to the
// tool's main thread.
//
// Windows puts the decoder into a kill-on-close job before it runs; here the
// same binding comes from PR_SET_PDEATHSIG (child_posix.cpp), which follows the
// thread that forked, which is why the start must happen on the main thread.
//
// The decoder runs in a process group of its own, so signals meant for the
// tool's group (a terminal's Ctrl-C) reach the tool alone; a supervisor that
// kills the tool's group takes the decoder through the death signal.
#include "process.h"

#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "child.h"

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

bool start_child(const char* const* argv) {
  pthread_mutex_lock(&gChildLock);
  bool busy = gChild.pid > 0 && !gChild.reaped;
  pthread_mutex_unlock(&gChildLock);
  if (busy) return false;

  ChildOptions options;
  options.die_with_parent = true;
  Child child;
  int error = 0;
  if (!child_spawn(argv, options, &child, &error)) return false;

  pthread_mutex_lock(&gChildLock);
  gChild.pid = (pid_t)child.pid;
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
