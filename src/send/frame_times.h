// The decoder's frame times: the text its metadata filters print for every
// picture and every audio block, read beside the raw bytes on a channel of
// their own. Each frame gives a line "frame:N pts:P pts_time:T" (P in
// microseconds, or NOPTS), then a line per metadata key, which is of no use
// here.
#pragma once
#include <cstddef>
#include <cstdint>

enum : int64_t { kNoPts = INT64_MIN };

struct FrameTimes {
  // The line being read; a longer one than any the decoder writes is skipped
  // to its end.
  char line[96];
  size_t len;
  bool overlong;
  // Parsed frames not yet taken, oldest first, in a ring. When it is full the
  // oldest goes: the frames are taken by their number, so one lost changes no
  // other.
  enum { kKept = 32 };
  int64_t number[kKept];
  int64_t pts[kKept];
  size_t first, count;
  int64_t base;  // the number of the first frame the decoder printed, or -1
};

void frame_times_init(FrameTimes* t);

// Reads n more bytes of the text, in pieces of any size.
void frame_times_feed(FrameTimes* t, const char* bytes, size_t n);

// The time of the k-th frame (from 0) of the channel, in microseconds, or
// kNoPts when it has not been read (or the decoder gave none). Frames before it
// are forgotten.
int64_t frame_times_take(FrameTimes* t, int64_t k);
