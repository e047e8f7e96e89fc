// What the password needs of the system: its file written whole and readable
// only by its owner and the service's group (password_io_posix.cpp), or with
// an access list of its own (password_io_win.cpp); and a line read from the
// terminal without echo.
#pragma once
#include <string>

// Writes text to "<path>.tmp" and renames it over path; false with *why.
bool password_io_write(const std::string& path, const std::string& text, std::string* why);

// True when standard input is a terminal (a console on Windows).
bool password_io_terminal();

// At the terminal: prompt on stderr, one line read with echo off (its end
// removed). False at the end of input.
bool password_io_ask(const char* prompt, std::string* line);
