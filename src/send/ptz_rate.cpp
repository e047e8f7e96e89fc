#include "ptz_rate.h"

#include <cstring>

void ptz_rate_reset(PtzRate* r) { memset(r, 0, sizeof *r); }

static bool turn_has_come(const PtzRate::Slot& s, int64_t now_ms) {
  return !s.written || now_ms >= s.last_ms + kPtzLineGapMs;
}

bool ptz_rate_offer(PtzRate* r, const PtzCommand& c, int64_t now_ms) {
  PtzRate::Slot& s = r->slots[c.kind];
  if (turn_has_come(s, now_ms)) {
    // Anything held is older than this value: it is passed over.
    s.held = false;
    s.written = true;
    s.last_ms = now_ms;
    return true;
  }
  s.held = true;
  s.newest = c;
  return false;
}

bool ptz_rate_take_due(PtzRate* r, int64_t now_ms, PtzCommand* out) {
  for (PtzRate::Slot& s : r->slots) {
    if (!s.held || !turn_has_come(s, now_ms)) continue;
    *out = s.newest;
    s.held = false;
    s.written = true;
    s.last_ms = now_ms;
    return true;
  }
  return false;
}

int64_t ptz_rate_wait_ms(const PtzRate* r, int64_t now_ms) {
  int64_t wait = -1;
  for (const PtzRate::Slot& s : r->slots) {
    if (!s.held) continue;
    int64_t due = s.last_ms + kPtzLineGapMs - now_ms;
    if (due < 0) due = 0;
    if (wait < 0 || due < wait) wait = due;
  }
  return wait;
}
