// Holding a file open as a reader that does not share deletion (a log viewer
// on Windows): renaming the file then fails. file_hold_win.cpp; POSIX has no
// such reader (file_hold_posix.cpp).
#pragma once
#include <cstdint>
#include <string>

// True with *held when path is now held open so.
bool file_hold(const std::string& path, intptr_t* held);
void file_release(intptr_t held);
