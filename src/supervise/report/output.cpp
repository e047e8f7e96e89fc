#include "report/output.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <thread>

#include "report/log_file.h"
#include "stdout_write.h"

namespace {

// One of the two streams: lines queued by any thread, written by a thread of
// its own, so that a log that stops draining holds up no one. Past the bound a
// line is dropped whole and counted; the count is said once the stream drains.
struct Stream {
  std::mutex lock;
  std::condition_variable queued;   // the writer waits for lines
  std::condition_variable drained;  // output_drain waits for the writer
  std::deque<std::string> lines;    // each with its newline
  size_t bytes = 0;                 // in lines and the batch being written
  size_t most = 0;
  bool writing = false;             // the writer holds a batch taken from lines
  bool started = false;             // the writer runs: lines are queued, not written at once
  unsigned long long dropped = 0;   // lines dropped since the last report
  bool gone = false;                // the stream failed for good: lines go nowhere
  bool is_stderr = false;
};

Stream gOut;  // the JSON lines, on stdout
Stream gErr;  // the messages for people, on stderr

// A service's two files in place of stdout and stderr, once output_to_files
// has opened them.
std::atomic<bool> gToFiles{false};
// Lines dropped in all, for /metrics: [0] stdout, [1] stderr.
std::atomic<uint64_t> gDroppedLines[2];
LogFile gEventLog;
LogFile gMessageLog;

// Queues one whole line; false when it was dropped.
bool queue(Stream& s, std::string line) {
  std::lock_guard<std::mutex> hold(s.lock);
  if (s.gone) return true;
  if (s.bytes + line.size() > s.most) {
    s.dropped++;
    gDroppedLines[s.is_stderr ? 1 : 0]++;
    return false;
  }
  s.bytes += line.size();
  s.lines.push_back(std::move(line));
  s.queued.notify_one();
  return true;
}

bool write_out(Stream& s, const std::string& batch) {
  if (gToFiles) {
    log_write(s.is_stderr ? &gMessageLog : &gEventLog, batch);
    return true;
  }
  if (s.is_stderr) return stderr_write(batch.data(), batch.size());
  return stdout_write(batch.data(), batch.size(), -1, -1) == StdoutWrite::kWritten;
}

void write_thread(Stream* s) {
  std::unique_lock<std::mutex> lock(s->lock);
  for (;;) {
    s->queued.wait(lock, [s] { return !s->lines.empty(); });
    // Everything queued, written in one go outside the lock.
    std::string batch;
    while (!s->lines.empty()) {
      batch += s->lines.front();
      s->lines.pop_front();
    }
    s->writing = true;
    bool gone = s->gone;
    lock.unlock();
    if (!gone && !write_out(*s, batch)) gone = true;
    lock.lock();
    // Counted until written: the batch in hand is part of the bound.
    s->bytes -= batch.size();
    s->writing = false;
    // Nobody reads the stream any more. The sources stay up all the same;
    // further lines go nowhere.
    if (gone) s->gone = true;
    if (s->lines.empty() && s->dropped > 0 && !s->gone) {
      unsigned long long dropped = s->dropped;
      s->dropped = 0;
      std::string text = std::to_string(dropped) + (dropped == 1 ? " line" : " lines") +
                         (s->is_stderr ? " of messages dropped while standard error did not take them"
                                       : " dropped while standard output did not take them");
      if (s->is_stderr) {
        // Said on the stream that dropped them, once it takes lines again.
        std::string line = "qor-ndi-supervise: " + text + kNewline;
        s->bytes += line.size();
        s->lines.push_back(std::move(line));
        continue;
      }
      lock.unlock();
      say(text);
      lock.lock();
    }
    s->drained.notify_all();
  }
}

}  // namespace

uint64_t output_dropped_lines(bool message) { return gDroppedLines[message ? 1 : 0]; }

void say(const std::string& text) {
  std::string line = "qor-ndi-supervise: " + text + kNewline;
  if (gToFiles) {
    log_write(&gMessageLog, line);
    return;
  }
  {
    std::lock_guard<std::mutex> hold(gErr.lock);
    if (!gErr.started) {
      // Before the writer runs (the start, a usage error) nothing else writes.
      stderr_write(line.data(), line.size());
      return;
    }
  }
  queue(gErr, std::move(line));
}

bool output_to_files(const std::string& folder, std::string* why) {
  if (!log_open(&gEventLog, folder + "supervise.log", why) ||
      !log_open(&gMessageLog, folder + "messages.log", why)) {
    return false;
  }
  gToFiles = true;
  return true;
}

void output_start() {
  gOut.most = kOutputMaxBytes;
  gErr.most = kMessagesMaxBytes;
  gErr.is_stderr = true;
  {
    std::lock_guard<std::mutex> hold(gErr.lock);
    gErr.started = true;
  }
  std::thread(write_thread, &gOut).detach();
  std::thread(write_thread, &gErr).detach();
}

void output_line(std::string line) { queue(gOut, line + kNewline); }

void output_drain(double timeout_s) {
  auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout_s);
  for (Stream* s : {&gOut, &gErr}) {
    std::unique_lock<std::mutex> lock(s->lock);
    if (!s->started && s == &gErr) continue;
    s->drained.wait_until(lock, until, [s] { return s->gone || (s->lines.empty() && !s->writing); });
  }
}
