// A log file in place of a console stream (a service has none): text appended
// whole, and the file rotated by size, kLogMaxBytes each, to .1, .2 and .3
// (the oldest dropped). A reader that holds the file open on Windows makes
// its rename fail: writing goes on in the same file and the rotation is tried
// again at the next write. log_file.cpp.
#pragma once
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

enum { kLogMaxBytes = 10 << 20, kLogGenerations = 3 };

struct LogFile {
  std::mutex lock;
  std::string path;
  FILE* file = nullptr;
  uint64_t size = 0;  // of the file being written
};

// Opens (or creates) path for appending. False with *why when it cannot.
bool log_open(LogFile* log, const std::string& path, std::string* why);

// Appends text (whole lines) and flushes it; rotates first when the file has
// reached its size. A write that fails is lost; the next one tries anew.
void log_write(LogFile* log, const std::string& text);
