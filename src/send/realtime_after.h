// A moment on the system clock, as pthread's timed waits take it.
#pragma once
#include <cstdint>
#include <ctime>

// The system clock's time us microseconds (at least 0) from now.
inline timespec realtime_after_us(int64_t us) {
  timespec t;
  clock_gettime(CLOCK_REALTIME, &t);
  t.tv_sec += (time_t)(us / 1000000);
  t.tv_nsec += (long)(us % 1000000) * 1000;
  if (t.tv_nsec >= 1000000000) {
    t.tv_sec += 1;
    t.tv_nsec -= 1000000000;
  }
  return t;
}
