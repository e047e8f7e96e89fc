// Run-time loading of a shared library. dynlib_posix.cpp and dynlib_win.cpp.
#pragma once

// The NDI runtime's file name and the separator that joins it to a directory.
extern const char kNdiRuntimeFile[];
extern const char kPathSeparator;

void* dynlib_open(const char* path);  // null on failure
void* dynlib_symbol(void* lib, const char* name);
void dynlib_close(void* lib);
