// The stop and reload requests that come from outside: SIGINT and SIGTERM stop
// every tool, SIGHUP reloads the sources file (POSIX); a console's control
// events stop (Windows). They reach the loop through the inbox; nothing runs
// in a signal handler. signals_posix.cpp and signals_win.cpp.
#pragma once

// Call on the main thread before any other thread exists: every thread started
// later inherits the held signals (POSIX). A signal that comes before
// signals_start waits for it. Also keeps a closed stdout or stderr from ending
// the process (SIGPIPE).
void signals_init();

// Starts passing them on to the inbox.
void signals_start();

// While the sources file is read at the start, before anything else runs: a
// stop request (SIGINT, SIGTERM) ends the program at once with code 0, so that
// a file that never ends (a FIFO nobody writes to) cannot make it deaf; a
// reload request waits as before. signals_reading_done ends that, before
// anything starts. (Windows: a console event before signals_start ends the
// program by the system's default.)
void signals_reading_start();
void signals_reading_done();
