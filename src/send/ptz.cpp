#include "ptz.h"

#include <chrono>
#include <thread>

#include "control.h"
#include "events.h"
#include "ptz_rate.h"
#include "ptz_text.h"
#include "qor_ndi.h"

static int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

static void write_line(const PtzCommand& c) { event_ptz(c.members); }

// Writes the held values whose turn has come by now_ms.
static void write_due(PtzRate* rate, int64_t now) {
  PtzCommand c;
  while (ptz_rate_take_due(rate, now, &c)) write_line(c);
}

void* ptz_thread(void*) {
  static PtzRate rate;  // about 2 KB: kept off the thread's stack
  static char text[kPtzTextMaxBytes + 1];
  ptz_rate_reset(&rate);
  while (gStop.load() == 0) {
    write_due(&rate, now_ms());
    // A held value must not wait for the next metadata: the capture then
    // waits only until its turn.
    int64_t held = ptz_rate_wait_ms(&rate, now_ms());
    uint32_t wait = kPtzCaptureWaitMs;
    if (held >= 0 && held < wait) wait = held < 1 ? 1 : (uint32_t)held;
    auto asked = std::chrono::steady_clock::now();
    size_t len = 0;
    Capture got = qor_ndi_sender_capture(gSender, text, kPtzTextMaxBytes, &len, wait);
    if (got == Capture::kText) {
      PtzCommand c;
      if (ptz_read(text, len, &c) && ptz_rate_offer(&rate, c, now_ms())) write_line(c);
    } else if (got == Capture::kNothing) {
      // A runtime that returns at once with nothing (an error, a change of
      // its status) must not make this loop spin: the wait is served in full.
      std::this_thread::sleep_until(asked + std::chrono::milliseconds(wait));
    }
  }
  // The last value of every burst goes out, also when the stop came within its
  // kind's gap: a stop command is never lost.
  write_due(&rate, INT64_MAX);
  pump_thread_ended();
  return nullptr;
}
