// The tool's own standard streams, and the stop requests that come from outside
// them: SIGINT, SIGTERM and SIGHUP (POSIX), the console's control events
// (Windows). console_posix.cpp and console_win.cpp.
#pragma once

// Prepares the process for a run controlled through pipes: a controller that
// closes the tool's stdout must not kill it with SIGPIPE (POSIX), and the stop
// signals or console events are held for the stop watcher instead of ending
// the process. Call on the main thread before any other thread exists (the NDI
// runtime may start threads when it is loaded): every thread started later
// inherits the blocked signals.
void console_init();

// Blocks until stdin ends (or fails), or a stop signal or console event comes;
// whatever is read is discarded. Reads the system's handle directly, not
// through the C runtime's stdin stream, so that a thread blocked here holds
// none of the runtime's stream locks: the process can end (the runtime's exit
// takes each stream's lock to flush it) while this still waits.
void console_wait_stop();

// True once a stop signal or console event has come, also one that
// console_wait_stop has not returned for yet. Any thread.
bool console_stop_signalled();

// Call after console_wait_stop. Blocks until a stop signal or console event
// comes while a stop asked for by an earlier one is under way (the end of stdin
// is not counted: a closed terminal gives both at once), and returns it.
int console_wait_second_signal();

// Ends the process at once, as the signal returned by console_wait_second_signal
// ends a program that does not handle it (130 for SIGINT in a shell; Windows:
// the status of a Ctrl-C). Nothing more is written.
[[noreturn]] void console_end_by_signal(int signal);

// Ends the process at once with code, running no destructor and no exit
// handler and unloading nothing: for a run that must end while another thread
// may still be inside the NDI runtime. Lines already written are out.
[[noreturn]] void console_end_now(int code);
