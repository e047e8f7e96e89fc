#include "output.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "log_file.h"
#include "stdout_write.h"

static std::mutex gLock;
static std::condition_variable gQueued;   // the writer waits for lines
static std::condition_variable gDrained;  // output_drain waits for the writer
static std::deque<std::string> gLines;    // each with its newline
static size_t gBytes = 0;                 // in gLines and the batch being written
static bool gWriting = false;             // the writer holds a batch taken from gLines
static unsigned long long gDropped = 0;   // lines dropped since the last report
static bool gGone = false;                // stdout failed for good: lines go nowhere

// A service's two files in place of stdout and stderr, once output_to_files
// has opened them.
static std::atomic<bool> gToFiles{false};
static LogFile gEventLog;
static LogFile gMessageLog;

void say(const std::string& text) {
  if (gToFiles) {
    log_write(&gMessageLog, "qor-ndi-supervise: " + text + kNewline);
    return;
  }
  std::string line = "qor-ndi-supervise: " + text + "\n";
  fwrite(line.data(), 1, line.size(), stderr);
  fflush(stderr);
}

bool output_to_files(const std::string& folder, std::string* why) {
  if (!log_open(&gEventLog, folder + "supervise.log", why) ||
      !log_open(&gMessageLog, folder + "messages.log", why)) {
    return false;
  }
  gToFiles = true;
  return true;
}

static void write_thread() {
  std::unique_lock<std::mutex> lock(gLock);
  for (;;) {
    gQueued.wait(lock, [] { return !gLines.empty(); });
    // Everything queued, written in one go outside the lock.
    std::string batch;
    while (!gLines.empty()) {
      batch += gLines.front();
      gLines.pop_front();
    }
    gWriting = true;
    bool gone = gGone;
    lock.unlock();
    if (gToFiles) {
      log_write(&gEventLog, batch);
    } else if (!gone && stdout_write(batch.data(), batch.size(), -1, -1) != StdoutWrite::kWritten) {
      gone = true;
    }
    lock.lock();
    // Counted until written: the batch in hand is part of the bound.
    gBytes -= batch.size();
    gWriting = false;
    // Nobody reads the output any more. The sources stay up all the same;
    // further lines go nowhere.
    if (gone) gGone = true;
    if (gLines.empty() && gDropped > 0 && !gGone) {
      unsigned long long dropped = gDropped;
      gDropped = 0;
      lock.unlock();
      say(std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
          " dropped while standard output did not take them");
      lock.lock();
    }
    gDrained.notify_all();
  }
}

void output_start() { std::thread(write_thread).detach(); }

void output_line(std::string line) {
  line += kNewline;
  std::lock_guard<std::mutex> lock(gLock);
  if (gGone) return;
  if (gBytes + line.size() > kOutputMaxBytes) {
    gDropped++;
    return;
  }
  gBytes += line.size();
  gLines.push_back(std::move(line));
  gQueued.notify_one();
}

void output_drain(double timeout_s) {
  std::unique_lock<std::mutex> lock(gLock);
  gDrained.wait_for(lock, std::chrono::duration<double>(timeout_s),
                    [] { return gGone || (gLines.empty() && !gWriting); });
}
