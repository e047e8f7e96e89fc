// The decoder process: started bound to the tool's lifetime, waited for, killed.
// process.cpp implements it on the child layer (child.h).
#pragma once
#include <cstdint>

// Starts argv (null-terminated; argv[0] is a path or a bare name found on the
// program search path). The child runs with stdin/stdout/stderr on the null
// device, inherits no other descriptor, and dies when the tool dies. POSIX: it
// runs in a process group of its own, with no signal blocked and SIGINT,
// SIGTERM, SIGHUP and SIGPIPE at their defaults. Returns
// false when the program cannot be started. Call on the main thread, once.
// (POSIX binds the child to the thread that starts it, so a start from any other
// thread is refused. Tests that start several decoders in one process may start
// the next once wait_child has returned for the previous one.)
bool start_child(const char* const* argv);

// True once start_child has succeeded.
bool child_started();

// The decoder's process id, 0 before a start. For tests and diagnostics.
uint32_t child_pid();

// Waits without limit for the decoder to end and returns its exit code:
// 0 after terminate_child() (unless it had already exited on its own),
// 128 + signal number when some other signal ended it (POSIX).
// May be called again after the end; it then returns at once.
uint32_t wait_child();

// Ends the decoder at once (exit code 0 as seen by wait_child). Harmless when it
// has already ended or been reaped; callable from any thread.
void terminate_child();
