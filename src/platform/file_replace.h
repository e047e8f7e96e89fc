// Replacing a file whole: a reader sees the old file or the new one, never a
// part; and renaming one over another. file_replace_posix.cpp and
// file_replace_win.cpp implement it.
#pragma once
#include <cstddef>
#include <cstdint>

// Writes data to "<path>.tmp" beside the file and renames it over path.
// False (and no temporary file left) when either step fails. path is UTF-8 on
// every platform (on Windows through the process's code page).
bool file_replace(const char* path, const uint8_t* data, size_t size);

// Renames from to to, replacing a file of that name. False when it cannot (on
// Windows also while another process holds either file open without delete
// sharing).
bool file_rename(const char* from, const char* to);
