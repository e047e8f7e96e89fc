// The monitor picture (--monitor): once per status interval that sent a
// picture, a small copy of a sent picture is taken on the sender's path and
// monitor_thread scales, converts and writes it as a BMP file. A file that
// cannot be written is skipped; nothing of this reaches the event lines.
#pragma once
#include <cstdint>

// Run: before the pumps start, when gOpt.monitor is set. Allocates the
// buffers and starts monitor_thread; false (and the monitor stays off, without
// a word) when either fails.
bool monitor_start();

// Status reporter: the interval that just ended sent a picture; the next
// picture sent is taken.
void monitor_want();

// Video sender, right after each send: takes the picture's sample when one is
// wanted (at most once per interval), else returns at once. Never waits for
// monitor_thread.
void monitor_offer(const uint8_t* nv12);

// Run, once the pumps have ended: ends monitor_thread, waiting at most 1 s
// for a write under way (a thread still writing then is left behind).
void monitor_stop();

void* monitor_thread(void* arg);
