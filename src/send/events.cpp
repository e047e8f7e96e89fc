#include "events.h"

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstdio>

#include "line_out.h"
#include "realtime_after.h"

pthread_mutex_t gOutLock = PTHREAD_MUTEX_INITIALIZER;

// Set when a line that was given its full wait did not get out (a reader that
// does not read, from the start or since), cleared by the next line that does:
// meanwhile every line goes out only if stdout has room at once, so that the
// waits of several lines never add up (a stop stays within its budget).
// Written under gOutLock; read before it too, to choose the wait for the lock.
static std::atomic<bool> gOutStuck{false};

// The lock is taken with the same limit as the room: a thread still finishing
// a line cannot hold the next line's writer for ever.
static bool lock_output(int limit_ms) {
  if (limit_ms <= 0) return pthread_mutex_trylock(&gOutLock) == 0;
  timespec until = realtime_after_us((int64_t)limit_ms * 1000);
  return pthread_mutex_timedlock(&gOutLock, &until) == 0;
}

// Set by event_ptz_close; ptz lines look at it once they hold gOutLock.
static std::atomic<bool> gPtzClosed{false};

// The wait for the lock counts against the wait for room. A status line
// (start_ms 0) still waits for the lock as another line would. A ptz line
// (ptz true) is not written once ptz lines are closed.
static bool emit_within(int start_ms, bool ptz, const char* format, va_list args) {
  char line[kLineMaxBytes + 1];
  int n = vsnprintf(line, sizeof line, format, args);
  if (n < 0) return false;
  auto asked = std::chrono::steady_clock::now();
  if (!lock_output(gOutStuck ? 0 : kOutWaitMs)) return false;
  if (ptz && gPtzClosed) {
    pthread_mutex_unlock(&gOutLock);
    return false;
  }
  if (gOutStuck) start_ms = 0;
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - asked);
  int room_ms = start_ms > waited.count() ? start_ms - (int)waited.count() : 0;
  bool written = line_out_write(line, (size_t)n < sizeof line ? (size_t)n : sizeof line - 1, room_ms, kOutWaitMs);
  if (written) gOutStuck = false;
  else if (start_ms > 0) gOutStuck = true;
  pthread_mutex_unlock(&gOutLock);
  return written;
}

void emit(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit_within(kOutWaitMs, false, format, args);
  va_end(args);
}

static void emit_ptz(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void emit_ptz(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit_within(kOutWaitMs, true, format, args);
  va_end(args);
}

// A status line goes out only if stdout has room when its interval ends;
// otherwise it is dropped whole, with its count.
static void emit_if_room(const char* format, ...) __attribute__((format(printf, 1, 2)));
static void emit_if_room(const char* format, ...) {
  va_list args;
  va_start(args, format);
  emit_within(0, false, format, args);
  va_end(args);
}

// Length of the well-formed UTF-8 sequence starting at s (2 to 4), or 0 when
// the byte at s does not start one (a stray continuation byte, an overlong
// form, a surrogate, a value past U+10FFFF, or a sequence cut short).
static int utf8_sequence_length(const unsigned char* s) {
  unsigned char c = s[0];
  int n;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
  if (c >= 0xC2 && c <= 0xDF) n = 2;
  else if (c == 0xE0) n = 3, lo = 0xA0;
  else if (c == 0xED) n = 3, hi = 0x9F;
  else if (c >= 0xE1 && c <= 0xEF) n = 3;
  else if (c == 0xF0) n = 4, lo = 0x90;
  else if (c == 0xF4) n = 4, hi = 0x8F;
  else if (c >= 0xF1 && c <= 0xF3) n = 4;
  else return 0;
  if (s[1] < lo || s[1] > hi) return 0;
  for (int i = 2; i < n; i++)
    if (s[i] < 0x80 || s[i] > 0xBF) return 0;
  return n;
}

void json_escape(const char* src, char* dst, size_t limit) {
  if (limit == 0) return;
  const unsigned char* s = (const unsigned char*)src;
  size_t used = 0;
  bool first = true;
  while (*s) {
    char out[8];
    size_t out_len;
    size_t take = 1;  // source bytes consumed
    unsigned char c = *s;
    if (c < 0x20) {
      out_len = (size_t)snprintf(out, sizeof out, "\\u%04x", c);
    } else if (c == '"' || c == '\\') {
      out[0] = '\\', out[1] = (char)c, out_len = 2;
    } else if (c < 0x80) {
      out[0] = (char)c, out_len = 1;
    } else if (int n = utf8_sequence_length(s)) {
      for (int i = 0; i < n; i++) out[i] = (char)s[i];
      out_len = take = (size_t)n;
    } else {
      // Not UTF-8: written as the Latin-1 character of that value, so the line
      // stays valid JSON whatever bytes the argument holds.
      out_len = (size_t)snprintf(out, sizeof out, "\\u%04x", c);
    }
    // Room test: every byte after the first needs used + 7 < limit, so one
    // escape and the terminator always fit. A multi-byte sequence must pass
    // the test for its last byte, so it is never split. The second test only
    // matters for limits too small to hold one escape.
    if (!first && used + (take - 1) + 7 >= limit) break;
    if (used + out_len + 1 > limit) break;
    for (size_t i = 0; i < out_len; i++) dst[used++] = out[i];
    s += take;
    first = false;
  }
  dst[used] = '\0';
}

static const char* truth(int32_t v) { return v ? "true" : "false"; }

void event_started(const char* name, int32_t width, int32_t height, int32_t audio, const char* ndi_version) {
  char name_esc[512], ndi_esc[256];
  json_escape(name, name_esc, sizeof name_esc);
  json_escape(ndi_version ? ndi_version : "", ndi_esc, sizeof ndi_esc);
  emit("{\"event\":\"started\",\"name\":\"%s\",\"width\":%d,\"height\":%d,\"audio\":%s,\"ndi\":\"%s\"}",
       name_esc, width, height, truth(audio), ndi_esc);
}

void event_status(int32_t connections, double fps, int32_t audio) {
  emit_if_room("{\"event\":\"status\",\"connections\":%d,\"fps\":%.1f,\"audio\":%s}", connections, fps, truth(audio));
}

void event_status_monitored(int32_t connections, double fps, int32_t audio, const char* level, bool program,
                            bool preview) {
  emit_if_room("{\"event\":\"status\",\"connections\":%d,\"fps\":%.1f,\"audio\":%s,\"level\":%s,"
               "\"tally\":{\"program\":%s,\"preview\":%s}}",
               connections, fps, truth(audio), level, truth(program), truth(preview));
}

void event_ptz(const char* members) { emit_ptz("{\"event\":\"ptz\",%s}", members); }

void event_ptz_close() {
  // A ptz line that takes the lock from now on sees the flag; one that holds
  // it already is waited for here, so it goes out before the exit line (which
  // could not pass it either way).
  gPtzClosed = true;
  if (lock_output(gOutStuck ? 0 : kOutWaitMs)) pthread_mutex_unlock(&gOutLock);
}

void event_exit(uint32_t ffmpeg_code, bool requested) {
  emit("{\"event\":\"exit\",\"ffmpeg\":%d,\"requested\":%s}", (int32_t)ffmpeg_code, truth(requested));
}

void event_error_ndi_runtime(const char* message) {
  char esc[512];
  json_escape(message, esc, sizeof esc);
  emit("{\"event\":\"error\",\"code\":\"ndi_runtime\",\"message\":\"%s\"}", esc);
}

void event_error_ndi_sender() {
  emit("{\"event\":\"error\",\"code\":\"ndi_sender\",\"message\":\"NDI sender creation failed\"}");
}

void event_error_socket() {
  emit("{\"event\":\"error\",\"code\":\"socket\",\"message\":\"cannot open local sockets\"}");
}

void event_error_ffmpeg_spawn(const char* ffmpeg) {
  char esc[512];
  json_escape(ffmpeg, esc, sizeof esc);
  emit("{\"event\":\"error\",\"code\":\"ffmpeg_spawn\",\"message\":\"cannot start %s\"}", esc);
}

void event_error_ffmpeg_connect(uint32_t ffmpeg_code) {
  emit("{\"event\":\"error\",\"code\":\"ffmpeg_connect\",\"message\":\"ffmpeg did not deliver the program (exit %d)\"}",
       (int32_t)ffmpeg_code);
}
