#include "report/log_file.h"

#include <cerrno>
#include <cstring>

#include "file_replace.h"

static bool reopen(LogFile* log) {
  log->file = fopen(log->path.c_str(), "ab");
  if (!log->file) return false;
  fseek(log->file, 0, SEEK_END);
  long at = ftell(log->file);
  log->size = at > 0 ? (uint64_t)at : 0;
  return true;
}

bool log_open(LogFile* log, const std::string& path, std::string* why) {
  std::lock_guard<std::mutex> hold(log->lock);
  log->path = path;
  if (reopen(log)) return true;
  *why = "cannot open " + path + ": " + strerror(errno);
  return false;
}

static std::string generation(const LogFile& log, int n) { return log.path + "." + std::to_string(n); }

// The current file is moved aside first: when a reader holds it, nothing has
// moved yet and the same file is written on.
static void rotate(LogFile* log) {
  if (log->file) fclose(log->file);
  log->file = nullptr;
  std::string aside = log->path + ".rotating";
  if (file_rename(log->path.c_str(), aside.c_str())) {
    for (int n = kLogGenerations - 1; n >= 1; --n) {
      file_rename(generation(*log, n).c_str(), generation(*log, n + 1).c_str());
    }
    file_rename(aside.c_str(), generation(*log, 1).c_str());
  }
  reopen(log);
}

void log_write(LogFile* log, const std::string& text) {
  std::lock_guard<std::mutex> hold(log->lock);
  if (!log->file || log->size >= kLogMaxBytes) rotate(log);
  if (!log->file) return;
  size_t n = fwrite(text.data(), 1, text.size(), log->file);
  fflush(log->file);
  log->size += n;
}
