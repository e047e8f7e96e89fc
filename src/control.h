// Run control shared between threads: the stop flag, the picture counter, the
// stop watcher and the status reporter.
#pragma once
#include <atomic>
#include <cstdint>

struct qor_ndi_sender;

extern std::atomic<int32_t> gStop;    // 1 once a stop is requested or the decoder ended
extern std::atomic<int32_t> gFrames;  // pictures sent since the reporter last took it
extern qor_ndi_sender* gSender;

// Blocks on stdin until its end or a stop signal (console event on Windows),
// then sets gStop and terminates the decoder. A second signal during the stop
// ends the process at once. Never returns.
void* stdin_thread(void* arg);

// Writes a status line every 2 s until gStop is set (one last line when the stop
// comes during the wait).
void* status_thread(void* arg);
