// The PTZ commands a receiver sends, read from the XML text the runtime hands
// over, and written as the members of a ptz event line.
#pragma once
#include <cstddef>

// The kinds of command; each kind has its own share of the output (ptz_rate.h).
enum PtzKind {
  kPtzPanTiltSpeed,
  kPtzPanTilt,
  kPtzZoomSpeed,
  kPtzZoom,
  kPtzStorePreset,
  kPtzRecallPreset,
  kPtzFocus,
  kPtzFocusSpeed,
  kPtzWhiteBalance,
  kPtzExposure,
  kPtzKinds
};

// Longest text taken as a command; anything longer is ignored unread.
enum { kPtzTextMaxBytes = 4096 };
// Room for the members of the longest line (white balance, three numbers of
// at most 24 characters each, and the names).
enum { kPtzMembersMax = 192 };

struct PtzCommand {
  PtzKind kind;
  // The line's members after "event": "command":"<name>" and the values in
  // their order, numbers clamped to their ranges, e.g.
  // "command":"zoom","zoom":0.6
  char members[kPtzMembersMax];
};

// Reads one metadata text (len bytes, no NUL needed). True when it is one PTZ
// command, with *out filled; false for anything else: other metadata, a text
// that is malformed, longer than kPtzTextMaxBytes, lacks a value its command
// needs, or holds a number that is not finite. Unknown attributes are passed
// over; attribute order, spacing, either quote and the usual number forms are
// accepted. A preset index outside 0..99 drops the command; every other number
// is clamped to its range.
bool ptz_read(const char* text, size_t len, PtzCommand* out);
