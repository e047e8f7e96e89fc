// How PTZ lines share stdout: a joystick sends a speed command for every
// movement of the stick, and a controller needs the newest value, not every
// one. Per kind of command at most one line per kPtzLineGapMs, carrying the
// newest value; the last value of a burst is always written, at most
// kPtzLineGapMs after it came. Time is given by the caller (milliseconds on
// any steady clock), so the rule can be checked without waiting.
#pragma once
#include <cstdint>

#include "ptz_text.h"

enum { kPtzLineGapMs = 50 };

struct PtzRate {
  struct Slot {
    bool held;          // a value waits for its turn
    bool written;       // a line of this kind was written, at last_ms
    int64_t last_ms;
    PtzCommand newest;  // the value held
  } slots[kPtzKinds];
};

// Forgets every kind's history and held value.
void ptz_rate_reset(PtzRate* r);

// Takes a command that came at now_ms. True when its line is due at once (the
// caller writes it now; it counts as written at now_ms); false when it is held
// as its kind's newest value, in place of any older one.
bool ptz_rate_offer(PtzRate* r, const PtzCommand& c, int64_t now_ms);

// A held value whose turn has come by now_ms, taken out into *out (it counts as
// written at now_ms); false when none is due. Called until false. Passing
// INT64_MAX takes every held value, as at the end of a run.
bool ptz_rate_take_due(PtzRate* r, int64_t now_ms, PtzCommand* out);

// Milliseconds from now_ms until the next held value is due (0: due now), or
// -1 when nothing is held.
int64_t ptz_rate_wait_ms(const PtzRate* r, int64_t now_ms);
