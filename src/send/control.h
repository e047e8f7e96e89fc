// Run control shared between threads: the stop flag, the picture counter, the
// stop watcher and the status reporter.
#pragma once
#include <atomic>
#include <cstdint>

struct qor_ndi_sender;

extern std::atomic<int32_t> gStop;    // 1 once a stop is requested or the decoder ended
extern std::atomic<int32_t> gStopAsked;  // 1 once the controller asked for the stop (stdin, signal)
extern std::atomic<int32_t> gFrames;  // pictures sent since the reporter last took it
extern std::atomic<int32_t> gPumpFailed;  // 1 once a pump could not do its work
extern qor_ndi_sender* gSender;

// Sets gStop and wakes the status reporter for its last line; true if the
// stop had already been requested. The first call starts the stop's budget.
bool request_stop();

// Once the run begins to end, the sender and the status reporter together get
// kStopBudgetMs from the first request_stop; the exit line then has its own
// kOutWaitMs at most, so a stop never takes more than 20 s whatever the runtime
// or the reader of stdout does.
enum { kStopBudgetMs = 10000 };

// Blocks on stdin until its end or a stop signal (console event on Windows),
// then sets gStop and terminates the decoder. A second signal during the stop
// ends the process at once. Never returns.
void* stdin_thread(void* arg);

// Writes a status line every 2 s until gStop is set (one last line when the stop
// comes during the wait).
void* status_thread(void* arg);

// Waits, until the stop's budget is spent, for status_thread to return; false
// if it has not (a line still blocked in a write that nobody reads), so that the
// run can end without joining it. Call after request_stop.
bool wait_status_end();

// Called by each pump as it returns (and by the PTZ listener, which uses the
// sender too); wait_pumps_end waits, until the stop's budget is spent, for
// count of them. False when one is still inside the
// runtime (a send that does not return): the run then cannot release the
// runtime or the connections and ends the process instead.
void pump_thread_ended();
bool wait_pumps_end(int count);

// Called by a pump that cannot do its work (no picture buffer): the decoder
// is terminated and the run ends as one that ended without a request.
void pump_failed();

// Called by a pump whose connection closed (or failed) while no stop was asked
// for. A decoder that is ending closes its outputs just before it exits, and
// its own exit code is what the run reports, so it is given kDecoderEndGraceMs
// to end. One that goes on without the channel would leave the source without
// pictures or sound for as long as the run lasts, with nothing for a
// controller to act on: it is then ended as by pump_failed.
enum { kDecoderEndGraceMs = 5000 };
void pump_ended();
