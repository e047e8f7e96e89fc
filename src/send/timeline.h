// One clock for the pictures' and the sound's timecodes. The decoder stamps
// both on the camera's timeline; a receiver that plays by timecode plays them
// together when both become the wall-clock time of the first frame plus their
// time since it.
#pragma once
#include <cstdint>

// NDI timecodes are in 100 ns units.
enum : int64_t { kTimecodeUnitsPerUs = 10 };

// A jump of more than this between the camera's timeline and the wall clock
// (a reconnect, a stall, a wrap) starts a new origin rather than a gap or a run
// backwards.
enum : int64_t { kTimelineJumpUs = 1000000 };

struct Timeline {
  bool set;
  int64_t origin_pts_us;   // the camera's time of the origin
  int64_t origin_wall_us;  // the wall-clock time it was taken at
};

// The timecode of a frame of time pts_us, taken at wall-clock time now_us
// (microseconds since 1970); sets or moves the origin as needed.
int64_t timeline_timecode(Timeline* t, int64_t pts_us, int64_t now_us);

// The run's clock, shared by the two senders under a lock of its own; takes
// the wall clock itself.
int64_t run_timecode(int64_t pts_us);
