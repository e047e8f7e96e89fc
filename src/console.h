// The tool's own standard streams. console_posix.cpp and console_win.cpp.
#pragma once

// Prepares the process's streams for a run controlled through pipes: a
// controller that closes the tool's stdout must not kill it with SIGPIPE
// (POSIX).
void console_init();

// Blocks until stdin ends (or fails); whatever is read is discarded. Reads the
// system's handle directly, not through the C runtime's stdin stream, so that
// a thread blocked here holds none of the runtime's stream locks: the process
// can end (the runtime's exit takes each stream's lock to flush it) while this
// still waits.
void console_wait_input_end();
