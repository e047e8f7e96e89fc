#include "control.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "console.h"
#include "events.h"
#include "level.h"
#include "monitor.h"
#include "options.h"
#include "process.h"
#include "qor_ndi.h"

std::atomic<int32_t> gStop{0};
std::atomic<int32_t> gStopAsked{0};
std::atomic<int32_t> gFrames{0};
std::atomic<int32_t> gPumpFailed{0};
qor_ndi_sender* gSender;
static std::atomic<int32_t> gReporterDone{0};
static std::atomic<int32_t> gPumpsEnded{0};
// The reporter sleeps out its 2 s on this, so that it wakes only for a line or
// for the stop; the run waits on it for the ends of the reporter and the pumps.
static std::mutex gStopLock;
static std::condition_variable gStopWake;
static std::chrono::steady_clock::time_point gBudgetEnd;  // under gStopLock, set by the first request_stop

bool request_stop() {
  bool already = gStop.exchange(1) != 0;
  std::lock_guard<std::mutex> hold(gStopLock);
  if (!already) gBudgetEnd = std::chrono::steady_clock::now() + std::chrono::milliseconds(kStopBudgetMs);
  gStopWake.notify_all();
  return already;
}

void* stdin_thread(void*) {
  // The content of stdin is never looked at: only its end (or an error) counts,
  // or a stop signal or console event.
  console_wait_stop();
  gStopAsked.store(1);
  request_stop();
  if (child_started()) terminate_child();
  // People press Ctrl-C again when a stop takes long (one that comes before the
  // decoder connected waits out the accept limits): the second ends the tool
  // at once, and the decoder first.
  int signo = console_wait_second_signal();
  terminate_child();
  console_end_by_signal(signo);
}

// With --monitor: the interval's audio peaks and the tally join the line, and
// an interval that sent a picture asks for the next one as the monitor picture.
static void report_monitored(int32_t connections, int32_t frames) {
  if (frames > 0) monitor_want();
  float peaks[kLevelChannels];
  bool any = level_take(peaks);
  char level[64];
  level_json(level, sizeof level, any, peaks);
  bool program = false, preview = false;
  qor_ndi_sender_tally(gSender, &program, &preview);
  event_status_monitored(connections, frames * 0.5, gOpt.audio, level, program, preview);
}

void* status_thread(void*) {
  while (gStop.load() == 0) {
    auto due = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    {
      std::unique_lock<std::mutex> hold(gStopLock);
      gStopWake.wait_until(hold, due, [] { return gStop.load() != 0; });
    }
    // A stop during the wait still reports the pictures of the cut-short interval.
    int32_t frames = gFrames.exchange(0);
    int32_t connections = qor_ndi_sender_connections(gSender);
    auto before = std::chrono::steady_clock::now();
    if (gOpt.monitor) {
      report_monitored(connections, frames);
    } else {
      event_status(connections, frames * 0.5, gOpt.audio);
    }
    // A line that was held up (on Windows a write into a full pipe blocks)
    // must not add the pictures of that time to the next line's interval.
    if (std::chrono::steady_clock::now() - before > std::chrono::milliseconds(100)) {
      gFrames.exchange(0);
      float peaks[kLevelChannels];
      if (gOpt.monitor) level_take(peaks);
    }
  }
  {
    std::lock_guard<std::mutex> hold(gStopLock);
    gReporterDone.store(1);
  }
  gStopWake.notify_all();
  return nullptr;
}

bool wait_status_end() {
  std::unique_lock<std::mutex> hold(gStopLock);
  return gStopWake.wait_until(hold, gBudgetEnd, [] { return gReporterDone.load() != 0; });
}

void pump_thread_ended() {
  {
    std::lock_guard<std::mutex> hold(gStopLock);
    gPumpsEnded.fetch_add(1);
  }
  gStopWake.notify_all();
}

bool wait_pumps_end(int count) {
  std::unique_lock<std::mutex> hold(gStopLock);
  return gStopWake.wait_until(hold, gBudgetEnd, [count] { return gPumpsEnded.load() >= count; });
}

void pump_failed() {
  gPumpFailed.store(1);
  terminate_child();
}

void pump_ended() {
  for (int waited = 0; waited < kDecoderEndGraceMs; waited += 10) {
    if (gStop.load() != 0) return;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  if (gStop.load() == 0) pump_failed();
}
