// The decoder process: one child of the child layer (child.h), its stdio on
// the null device, bound to the tool (POSIX: the death signal, which follows
// the thread that forked, which is why the start must happen on the main
// thread; Windows: the kill-on-close job, entered before its first
// instruction), in a process group of its own (POSIX) or a hidden console of
// its own (Windows), so that signals and console events meant for the tool
// reach the tool alone; a supervisor that kills the tool's group takes the
// decoder through its binding.
//
// The main thread starts and waits; the stop watcher terminates. The child
// layer serialises the wait's release and the kill, so a kill can never reach
// a recycled pid.
#include "process.h"

#include <atomic>

#include "child.h"

static Child gChild;
// Set once a start has succeeded; the record is not touched by a start while
// its child has not been released.
static std::atomic<bool> gStarted{false};

bool start_child(const char* const* argv) {
  if (gStarted.load()) {
    std::lock_guard<std::mutex> hold(gChild.lock);
    if (!gChild.reaped) return false;
  }
  ChildOptions options;
  options.die_with_parent = true;
  int error = 0;
  if (!child_spawn(argv, options, &gChild, &error)) return false;
  gStarted = true;
  return true;
}

bool child_started() { return gStarted.load(); }

uint32_t child_pid() {
  if (!gStarted.load()) return 0;
  std::lock_guard<std::mutex> hold(gChild.lock);
  return (uint32_t)gChild.pid;
}

uint32_t wait_child() {
  if (!gStarted.load()) return 0;
  uint32_t code = child_wait(&gChild);
  std::lock_guard<std::mutex> hold(gChild.lock);
  // Ended by terminate_child: the stop the tool asked for.
  return gChild.killed ? 0u : code;
}

void terminate_child() {
  if (gStarted.load()) child_kill(&gChild);
}
