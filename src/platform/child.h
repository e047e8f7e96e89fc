// Starting child processes: the decoder of the tool, the tools of the
// supervisor. One call starts one child with the standard streams and bindings
// its caller asks for; the caller keeps as many as it likes. child_posix.cpp
// and child_win.cpp implement it.
#pragma once
#include <cstddef>
#include <cstdint>

struct ChildOptions {
  // stdin a pipe whose write end the parent holds (Child::in), else the null
  // device. Closing that end is how a tool is told to stop.
  bool pipe_stdin = false;
  // stdout a pipe whose read end the parent holds (Child::out), else the null device.
  bool pipe_stdout = false;
  // stderr the parent's own, else the null device.
  bool inherit_stderr = false;
  // POSIX: killed when the thread that started it ends (PR_SET_PDEATHSIG), so
  // start from the main thread. Windows: ignored (the decoder's kill-on-close
  // job is process_win.cpp's).
  bool die_with_parent = false;
  // POSIX: a session of its own (setsid) instead of only a process group of its
  // own. Either way signals meant for the parent's group (a terminal's Ctrl-C)
  // do not reach the child. Windows: a process group of its own and no share of
  // the parent's console (Ctrl-Break reaches every process on a console,
  // whatever its group).
  bool own_session = false;
  // Windows: created inside a kill-on-close job that this process holds for
  // the rest of its life (one job for every child started so), so that the
  // child ends with this process however it ends. A job the child makes for
  // its own children nests inside it. POSIX: ignored.
  bool parent_job = false;
};

// A started child. POSIX: pid and descriptors; Windows: handles as integers.
// in and out are -1 when not piped or once closed.
struct Child {
  int64_t pid = 0;
  intptr_t process = -1;  // Windows: the process handle
  intptr_t in = -1;
  intptr_t out = -1;
  bool reaped = false;    // child_wait/child_poll collected it: pid may be someone else's
  uint32_t code = 0;      // exit code once reaped: 128 + signal number when a signal ended it (POSIX)
};

// Starts argv (null-terminated; argv[0] a path or a bare name found on the
// program search path) with the parent's environment, no signal blocked and
// SIGINT, SIGTERM, SIGHUP and SIGPIPE at their defaults (POSIX), and no other
// descriptor or handle of the parent. False with *error (errno, or Windows'
// last error) when it cannot be started: a missing program fails here, never
// as an exit code of 127 later. Pipes are close-on-exec in the parent, so a
// child never holds another child's pipe open.
bool child_spawn(const char* const* argv, const ChildOptions& options, Child* child, int* error);

// The text of an error from child_spawn, as strerror gives it.
const char* child_error_text(int error);

// Closes the parent's end of the child's stdin (no-op once closed).
void child_close_stdin(Child* child);

// Reads the child's stdout: bytes read, 0 at its end (or on failure). Blocks.
// Callable from another thread than the one that started the child, as long
// as only one thread reads.
long child_read(intptr_t out, char* buffer, size_t size);

// Closes a read end that child_read has finished with.
void child_close_out(intptr_t out);

// Waits for the child's end and returns its code; at once once reaped.
uint32_t child_wait(Child* child);

// True (and the code in child->code) once the child has ended; never blocks.
bool child_poll(Child* child);

// Ends the child at once: POSIX, SIGKILL to its process group (the child's own,
// so the tool and whatever else it left in its group), Windows, TerminateProcess.
// No-op once reaped.
void child_kill(Child* child);
