// Starting child processes: the decoder of the tool, the tools of the
// supervisor. One call starts one child with the standard streams and bindings
// its caller asks for; the caller keeps as many as it likes. child_posix.cpp
// and child_win.cpp implement it.
#pragma once
#include <string>
#include <vector>
#include <cstddef>
#include <cstdint>
#include <mutex>

struct ChildOptions {
  // stdin a pipe whose write end the parent holds (Child::in), else the null
  // device. Closing that end is how a tool is told to stop.
  bool pipe_stdin = false;
  // stdout a pipe whose read end the parent holds (Child::out), else the null device.
  bool pipe_stdout = false;
  // stderr the parent's own, else the null device.
  bool inherit_stderr = false;
  // stderr a pipe whose read end the parent holds (Child::err), read with
  // child_read like stdout; it takes the place of inherit_stderr.
  bool pipe_stderr = false;
  // POSIX: killed when the thread that started it ends (PR_SET_PDEATHSIG), so
  // start from the main thread. Windows: see parent_job, which it implies.
  bool die_with_parent = false;
  // POSIX: a session of its own (setsid) instead of only a process group of its
  // own. Either way signals meant for the parent's group (a terminal's Ctrl-C)
  // do not reach the child. Windows: a process group of its own and no console
  // at all; without it, a hidden console of its own. Either way the parent's
  // console events (Ctrl-C, Ctrl-Break reach every process on a console,
  // whatever its group) do not reach the child.
  bool own_session = false;
  // Windows: created inside a kill-on-close job that this process holds for
  // the rest of its life (one job for every child started so), so that the
  // child ends with this process however it ends. A job the child makes for
  // its own children nests inside it. POSIX: ignored.
  bool parent_job = false;
  // POSIX: child_kill ends the child's whole process group (its own: the
  // child and whatever it left in it), not the child alone. Windows: ignored.
  bool kill_group = false;
};

// A started child. POSIX: pid and descriptors; Windows: handles as integers.
// in, out and err are -1 when not piped or once closed.
//
// A child is seen to end (child_poll, child_wait) before it is released (its
// zombie reaped, its process handle closed), and both happen under lock, as
// does every kill: until the release its pid (and on POSIX its process group's
// id) cannot be given to another process, so no kill ever reaches a recycled
// one. Any thread may kill while one thread waits or polls.
struct Child {
  int64_t pid = 0;
  intptr_t process = -1;  // Windows: the process handle
  intptr_t in = -1;
  intptr_t out = -1;
  intptr_t err = -1;
  bool ended = false;     // seen to end: code is valid
  bool reaped = false;    // released: pid may be someone else's
  bool killed = false;    // ended by child_kill (not by itself or by anyone else)
  uint32_t code = 0;      // exit code once ended: 128 + signal number when a signal ended it
                          // (POSIX); 128 + 9 after child_kill (Windows)
  bool kill_sent = false;
  bool kill_group = false;  // from ChildOptions
  std::mutex lock;

  Child() = default;
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
};

// Starts argv (null-terminated; argv[0] a path or a bare name found on the
// program search path) with the parent's environment, no signal blocked and
// SIGINT, SIGTERM, SIGHUP and SIGPIPE at their defaults (POSIX), and no other
// descriptor or handle of the parent. False with *error (errno, or Windows'
// last error) when it cannot be started: a missing program fails here, never
// as an exit code of 127 later. Pipes are close-on-exec in the parent, so a
// child never holds another child's pipe open.
// child is reset first; it must not hold a child that has not been released.
bool child_spawn(const char* const* argv, const ChildOptions& options, Child* child, int* error);

// The supervisor's children (its tools, the camera check's decoders): argv
// started apart from the supervisor's terminal (a session of their own, or
// detached from the console), bound to its life where the platform can
// (Windows: its kill-on-close job), their whole group killed with them,
// stdout and stderr piped, and stdin a pipe when pipe_stdin, else the null
// device. child_spawn's answer.
bool child_spawn_apart(const std::vector<std::string>& argv, bool pipe_stdin, Child* child, int* error);

// The text of an error from child_spawn, as strerror gives it.
const char* child_error_text(int error);

// True when an error from child_spawn says the program cannot be run at all
// (missing, not executable, not a program); any other error may pass.
bool child_error_final(int error);

// Closes the parent's end of the child's stdin (no-op once closed).
void child_close_stdin(Child* child);

// Reads the child's stdout: bytes read, 0 at its end (or on failure). Blocks.
// Callable from another thread than the one that started the child, as long
// as only one thread reads.
long child_read(intptr_t out, char* buffer, size_t size);

// Closes a read end that child_read has finished with.
void child_close_out(intptr_t out);

// Waits for the child's end, releases it and returns its code; at once once
// released.
uint32_t child_wait(Child* child);

// True (and the code in child->code) once the child has ended; never blocks.
// It is not released: child_end_group may still follow, then child_release.
bool child_poll(Child* child);

// Releases a child that child_poll has seen end (no-op once released).
void child_release(Child* child);

// After the child's end, before its release: ends whatever is left of it.
// POSIX: SIGKILL to its process group (its own), so a process it started that
// still holds its stdout open goes. Windows: nothing here (a tool's own
// children are bound to it by its own job).
void child_end_group(Child* child);

// Ends the child at once: POSIX, SIGKILL to the child (to its process group with
// kill_group), Windows, TerminateProcess. No-op once released.
void child_kill(Child* child);

// Windows: the kill-on-close job that parent_job children run in, made at the
// first call (0 when the system refuses one). POSIX: 0.
intptr_t child_parent_job();
