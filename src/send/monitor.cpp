#include "monitor.h"

#include <pthread.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>

#include "file_replace.h"
#include "options.h"
#include "thumbnail.h"

static ThumbLayout gLayout;
static std::atomic<int32_t> gRunning{0};  // monitor_thread is there to take samples
static std::atomic<int32_t> gWanted{0};   // the next picture sent is to be taken

// Three sample buffers, as in the video pump's hand-over: the sender fills
// its own, then swaps it with the ready one under the lock; the writer swaps
// the ready one with its own. Neither ever waits for the other's work.
static std::mutex gLock;
static std::condition_variable gWake;
static uint8_t* gFill;        // the sender's
static uint8_t* gReady;       // under gLock: the newest whole sample, when gHaveReady
static bool gHaveReady = false;  // under gLock
static bool gDone = false;       // under gLock: monitor_stop was called
static bool gEnded = false;      // under gLock: monitor_thread has returned
static uint8_t* gWork;        // monitor_thread's
static uint8_t* gBmp;         // monitor_thread's
static pthread_t gThread;

bool monitor_start() {
  if (!gOpt.monitor || !thumb_layout(gOpt.width, gOpt.height, &gLayout)) return false;
  size_t sample = thumb_sample_bytes(gLayout);
  gFill = (uint8_t*)malloc(sample);
  gReady = (uint8_t*)malloc(sample);
  gWork = (uint8_t*)malloc(sample);
  gBmp = (uint8_t*)malloc(thumb_bmp_bytes(gLayout));
  if (!gFill || !gReady || !gWork || !gBmp) return false;
  if (pthread_create(&gThread, nullptr, monitor_thread, nullptr) != 0) return false;
  gRunning.store(1);
  return true;
}

void monitor_want() {
  if (gRunning.load() != 0) gWanted.store(1);
}

void monitor_offer(const uint8_t* nv12) {
  if (gWanted.load(std::memory_order_relaxed) == 0 || gWanted.exchange(0) == 0) return;
  thumb_sample(gLayout, nv12, gFill);
  {
    std::lock_guard<std::mutex> hold(gLock);
    uint8_t* filled = gFill;
    gFill = gReady;
    gReady = filled;
    gHaveReady = true;
  }
  gWake.notify_all();
}

void monitor_stop() {
  if (gRunning.load() == 0) return;
  bool ended;
  {
    std::unique_lock<std::mutex> hold(gLock);
    gDone = true;
    gWake.notify_all();
    // A write into a file system that hangs must not hold up the stop: such
    // a thread is left to the end of the process.
    ended = gWake.wait_for(hold, std::chrono::seconds(1), [] { return gEnded; });
  }
  if (ended) pthread_join(gThread, nullptr);
  else pthread_detach(gThread);
}

void* monitor_thread(void*) {
  std::unique_lock<std::mutex> hold(gLock);
  for (;;) {
    gWake.wait(hold, [] { return gHaveReady || gDone; });
    if (gDone) break;
    uint8_t* ready = gReady;
    gReady = gWork;
    gWork = ready;
    gHaveReady = false;
    hold.unlock();
    thumb_bmp(gLayout, gWork, gBmp);
    // A file that cannot be written is skipped: the next interval tries anew.
    file_replace(gOpt.monitor, gBmp, thumb_bmp_bytes(gLayout));
    hold.lock();
  }
  gEnded = true;
  gWake.notify_all();
  return nullptr;
}
