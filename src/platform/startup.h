// What the process may inherit from whoever started it that a run cannot work
// with, set back before anything else happens. startup_posix.cpp and
// startup_win.cpp.
#pragma once

// Call once, on the main thread, first of all: before anything opens a file.
void startup_init();
