// Event lines: one JSON object per line on stdout, written whole under one lock.
// A line is never torn and never waits for a reader without limit.
#pragma once
#include <pthread.h>
#include <cstddef>
#include <cstdint>

extern pthread_mutex_t gOutLock;

// How long a line waits for the output lock and for room on stdout (a reader
// that does not read) before it is dropped whole; a status line does not wait
// for room at all. A line once started is given as long again to finish.
enum { kOutWaitMs = 10000 };

// Formats one event line and writes it with its newline to stdout in one piece
// (line_out.h) under gOutLock, so lines from different threads never
// interleave. Waits up to kOutWaitMs for the lock and for room, except after a
// line that waited as long in vain: until a line gets out again, lines go out
// only if stdout has room at once.
void emit(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Writes src escaped for a JSON string into dst (limit bytes, always NUL
// terminated). Well-formed UTF-8 passes unchanged; any other byte becomes
// \u00XX. Each character after the first is written only while the length so
// far + 7 stays below limit, so one escape and the terminator always fit (at
// most 510 bytes of text for a limit of 512); a UTF-8 sequence is never split.
void json_escape(const char* src, char* dst, size_t limit);

// The events of a run. Text values are escaped here (names, paths and
// messages within 512 bytes, the NDI version within 256).
void event_started(const char* name, int32_t width, int32_t height, int32_t audio, const char* ndi_version);
// Written only if stdout has room at once; otherwise dropped.
void event_status(int32_t connections, double fps, int32_t audio);
// The same with --monitor: level is the member's JSON value as level_json
// writes it ("null" or "[L,R]"), then the tally.
void event_status_monitored(int32_t connections, double fps, int32_t audio, const char* level, bool program,
                            bool preview);
// With --ptz: one PTZ command; members is the text after "event", as
// ptz_read writes it ("command":"zoom","zoom":0.6). Nothing once
// event_ptz_close has returned.
void event_ptz(const char* members);
// For a run that ends without joining ptz_thread (a runtime call that did not
// return): no ptz line follows the exit line written next. Waits for a line
// being written as another line would.
void event_ptz_close();
void event_exit(uint32_t ffmpeg_code, bool requested);
void event_error_ndi_runtime(const char* message);
void event_error_ndi_sender();
void event_error_socket();
void event_error_ffmpeg_spawn(const char* ffmpeg);
void event_error_ffmpeg_connect(uint32_t ffmpeg_code);
