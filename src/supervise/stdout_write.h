// Writing to stdout whole, however the parent set it up (a blocking or
// non-blocking pipe, a socket, a terminal, a file). stdout_write_posix.cpp and
// stdout_write_win.cpp.
#pragma once
#include <cstddef>

// Writes all len bytes, waiting as long as it takes. False when stdout has
// failed for good (a reader gone): nothing more can be written.
bool stdout_write(const char* data, size_t len);
