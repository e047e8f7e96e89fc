// The tool's own standard streams. console_posix.cpp and console_win.cpp.
#pragma once

// Prepares the process's streams for a run controlled through pipes:
// a controller that closes the tool's stdout must not kill it with SIGPIPE
// (POSIX), and stdin is read as bytes, since its content never matters and a
// Ctrl-Z byte must not read as its end (Windows).
void console_init();
