// The NDI output: the runtime binding and one sender. The rest of the tool sees
// the sender only through this interface.
#pragma once
#include <cstddef>
#include <cstdint>

struct qor_ndi_sender;

// Loads and initialises the runtime once. Returns null on success, else one of
// three constant messages fit for the ndi_runtime error event.
const char* qor_ndi_load();

// The runtime's version text, or null when there is none (or nothing loaded).
const char* qor_ndi_version();

qor_ndi_sender* qor_ndi_sender_create(const char* name);
void qor_ndi_sender_destroy(qor_ndi_sender* s);
int32_t qor_ndi_sender_connections(qor_ndi_sender* s);
// The tally now (no waiting): whether a receiver has the source on program,
// and on preview. Both false when the sender or the runtime is absent.
void qor_ndi_sender_tally(qor_ndi_sender* s, bool* program, bool* preview);
// timecode: 100 ns units on the run's clock, or kTimecodeSynthesize to let the
// runtime count it (a frame the decoder gave no time for).
enum : int64_t { kTimecodeSynthesize = INT64_MAX };
void qor_ndi_send_video_nv12(qor_ndi_sender* s, const uint8_t* nv12, int32_t width, int32_t height,
                             int32_t rate_n, int32_t rate_d, int64_t timecode = kTimecodeSynthesize);
void qor_ndi_send_audio_interleaved(qor_ndi_sender* s, const float* samples, int32_t sample_count,
                                    int32_t channel_count, int32_t sample_rate,
                                    int64_t timecode = kTimecodeSynthesize);

// With --ptz: offers every receiver, now and on connecting later, the
// connection metadata that says the source takes PTZ commands. False when the
// runtime cannot hand receivers' metadata over (no such calls in its table).
bool qor_ndi_sender_offer_ptz(qor_ndi_sender* s);

// What qor_ndi_sender_capture found.
enum class Capture {
  kText,     // a receiver's text, copied into the caller's buffer
  kIgnored,  // a receiver's metadata too long to be a command (dropped)
  kNothing,  // nothing within the timeout, an error or a status change
};
// Waits up to timeout_ms for metadata a receiver sent. A text of at most
// max_len bytes is copied into buf (max_len + 1 bytes, NUL-terminated, *len
// its length); the runtime's frame is handed back before returning, whatever
// it held.
Capture qor_ndi_sender_capture(qor_ndi_sender* s, char* buf, size_t max_len, size_t* len, uint32_t timeout_ms);
