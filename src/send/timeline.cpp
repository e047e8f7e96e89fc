#include "timeline.h"

#include <pthread.h>

#include <chrono>

int64_t timeline_timecode(Timeline* t, int64_t pts_us, int64_t now_us) {
  if (t->set) {
    // Compared as differences, each of which fits: pts and wall times are
    // both far below 2^62 microseconds.
    int64_t drift = (pts_us - t->origin_pts_us) - (now_us - t->origin_wall_us);
    if (drift > kTimelineJumpUs || drift < -kTimelineJumpUs) t->set = false;
  }
  if (!t->set) {
    t->set = true;
    t->origin_pts_us = pts_us;
    t->origin_wall_us = now_us;
  }
  return (t->origin_wall_us + (pts_us - t->origin_pts_us)) * kTimecodeUnitsPerUs;
}

static pthread_mutex_t gTimelineLock = PTHREAD_MUTEX_INITIALIZER;
static Timeline gTimeline;

int64_t run_timecode(int64_t pts_us) {
  using namespace std::chrono;
  int64_t now_us = duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
  pthread_mutex_lock(&gTimelineLock);
  int64_t timecode = timeline_timecode(&gTimeline, pts_us, now_us);
  pthread_mutex_unlock(&gTimelineLock);
  return timecode;
}
