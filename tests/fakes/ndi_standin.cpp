// Stand-in NDI runtime for the tests and the demo.
//
// Built as a shared library under the runtime's own file name, each copy in its
// own directory of the build tree:
//   ndi-standin/            full copy       (libndi.so.6 | Processing.NDI.Lib.x64.dll)
//   ndi-standin-alt/        second full copy, to put on the library search path
//   ndi-standin-noexport/   built without the NDIlib_v6_load export
// NDIlib_v6_load returns a 124-slot table; initialize, destroy, version,
// is_supported_CPU, send_create, send_destroy, send_send_metadata, send_capture,
// send_free_metadata, send_get_tally, send_get_no_connections,
// send_clear_connection_metadata, send_add_connection_metadata,
// send_send_video_v2 and send_send_audio_v2 are filled in, every other slot is
// null. Nothing is sent anywhere: every call is written to a record file.
//
// Environment (read when the library attaches and when NDIlib_v6_load is
// called, never per frame; a switch is on when set, non-empty and not "0"):
//   QOR_STANDIN_RECORD=<path>        append the record to this file (no record when unset)
//   QOR_STANDIN_NO_TABLE=1           NDIlib_v6_load returns null
//   QOR_STANDIN_INIT_FAIL=1          initialize returns false
//   QOR_STANDIN_CREATE_FAIL=1        send_create returns null
//   QOR_STANDIN_NO_VERSION=1         version returns null (else kVersionText below)
//   QOR_STANDIN_CONNECTIONS=<n>      send_get_no_connections returns n (default 0)
//   QOR_STANDIN_CONNECTIONS_FILE=<path>
//                                    send_get_no_connections reads a decimal count from this
//                                    file on every call, so a test can change it mid-run
//                                    (QOR_STANDIN_CONNECTIONS, or 0, when the file is missing,
//                                    empty or holds no number)
//   QOR_STANDIN_VIDEO_DELAY_MS=<n>   each send_send_video_v2 sleeps n ms before returning
//   QOR_STANDIN_NO_CHECKSUM=1        video lines carry fnv=skipped instead of the checksum, so
//                                    a benchmark can count pictures without hashing each one
//   QOR_STANDIN_STAMPED=1            pictures start with the time they were due (the stand-in
//                                    decoder's live=1): video lines carry due_us=, that time,
//                                    and age_us=, the time from then to this send, on the same
//                                    monotonic clock
//   QOR_STANDIN_TIMES=1              video lines carry wall_us=, the wall-clock time (microseconds
//                                    since 1970) at which the send was called, and centre_y=, the
//                                    luma at the picture's centre; audio lines carry wall_us= and
//                                    peak=, the largest magnitude in the first plane: enough to
//                                    time a camera's flash and beep from the camera to the send
//   QOR_STANDIN_COUNT_ONLY=1         no video or audio lines: the sends are only counted, in
//                                    the send_destroy line, so that the runtime costs a
//                                    benchmark next to nothing per picture
//   QOR_STANDIN_PREVIEW=<path>       write the latest picture there as a binary PPM (P6,
//                                    NV12 converted to RGB, BT.601 limited range), through
//                                    <path>.tmp and a rename, so a reader never sees half a file
//   QOR_STANDIN_PREVIEW_EVERY=<n>    preview the 1st picture and then every n-th (default 30)
//   QOR_STANDIN_TALLY_FILE=<path>    send_get_tally reads this file on every call, so a test can
//                                    change the tally mid-run: the words "program" and "preview"
//                                    in it set each (both off when the file is missing or empty);
//                                    when a line starts with the sender's name and a tab, only
//                                    that line counts, so one file can set the tally of several
//                                    tools
//   QOR_STANDIN_METADATA_FILE=<path> what receivers send: send_capture hands over each line of
//                                    this file ("\n" ended, the "\n" not part of the text) as one
//                                    metadata frame, in order, each once; a test appends lines
//                                    mid-run. Without a line ready it looks again every 5 ms until
//                                    its timeout, then returns none (0)
//   QOR_STANDIN_CAPTURE_EMPTY=<n>    send_capture without a line ready returns n at once instead
//                                    of waiting (4: error, 100: status change)
//   QOR_STANDIN_CAPTURE_HANG=1       send_capture never returns
//   QOR_STANDIN_AUDIO_DUMP=<path>    append every audio frame's samples there as raw little-endian
//                                    32-bit floats, plane after plane (no_samples floats of
//                                    channel 0, then of channel 1, ...), flushed per frame
//
// Record format: one line per call, "\n" ended on every platform, written whole
// under one lock (safe from any number of threads) and flushed at once:
//   <event> <key>=<value> <key>=<value> ...
// Values contain no spaces. Text values are percent-encoded: bytes other than
// A-Z a-z 0-9 - . _ ~ / : \ become %XX (upper-case hex); "(null)" stands for a
// null pointer ("(" and ")" never appear in an encoded text). Integers are
// decimal, pointers and bit patterns 0x-prefixed hex, checksums 16 hex digits
// (FNV-1a 64). Python: ev, *kv = line.split(" "); d = dict(x.split("=", 1) for x in kv)
//   attach path=<text> build=full|noexport pid=<n>
//       the library was loaded (both builds); path is this copy's own file
//   load n=<n> path=<text> table=1|0 slots=124 pid=<n>
//       NDIlib_v6_load was called; n counts the lines since this load (load is 1)
//   initialize n= result=1|0
//   destroy n=
//   version n= result=<text>|(null)
//   is_supported_CPU n= result=1
//   send_create n= name=<text>|(null) groups=<text>|(null) clock_video=0|1 clock_audio=0|1
//       result=<instance id>|(null)
//   send_destroy n= inst=<id> videos=<n> audios=<n> unfreed=<n>
//       videos and audios count the sends since the library was loaded; unfreed, the
//       metadata frames send_capture filled and send_free_metadata did not hand back
//   connection_metadata n= inst= length= timecode= text=<text>|(null)
//       send_add_connection_metadata
//   clear_connection_metadata n= inst=
//   send_metadata n= inst= text=<text>|(null)
//   capture n= inst= timeout=<ms> result=<frame type> [data=0x<address>]
//       send_capture (recorded as it is entered under QOR_STANDIN_CAPTURE_HANG); data
//       with result 3: the frame handed over, length = the text's bytes + 1, timecode
//       INT64_MAX
//   free_metadata n= inst= data=0x<address>|(null) known=1|0
//       known: data is a frame send_capture filled and not yet handed back
//   connections n= inst=<id> timeout=<ms> result=<count>
//   tally n= inst=<id> timeout=<ms> program=0|1 preview=0|1 result=0|1
//       result: whether the tally changed since the previous call (the first call: since off/off)
//   video n= inst=<id> seq=<1,2,..> xres= yres= fourcc=0x<8 hex> rate_n= rate_d=
//       aspect=<%.9g> aspect_bits=0x<8 hex> format= timecode= data=0x<address>|(null)
//       stride= metadata=<text>|(null) timestamp= bytes=<xres*yres*3/2> fnv=<checksum>|none
//       [due_us=<n> age_us=<n>] under QOR_STANDIN_STAMPED
//       [wall_us=<n> centre_y=<n>] under QOR_STANDIN_TIMES
//       fnv covers bytes bytes from data ("none" when data is null or a size is not positive,
//       "skipped" under QOR_STANDIN_NO_CHECKSUM)
//   audio n= inst=<id> seq= rate= channels= samples= timecode= data=0x<address>|(null)
//       stride= metadata=<text>|(null) timestamp= [wall_us=<n> peak=<%.4f>] under QOR_STANDIN_TIMES
//       then for each channel k (at most 16): p<k>_fnv= p<k>_first=0x<bits> p<k>_last=0x<bits>
//       plane k starts at data + k*stride bytes and is samples*4 bytes long; first and last
//       are the bit patterns of its first and last float
// An instance id is the instance's number (1, 2, ...), or "bad" for a pointer this
// library never handed out or has already destroyed.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <cinttypes>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ndi_standin_record.h"
#include "qor_ndi_abi.h"

#if defined(_WIN32)
#include <windows.h>
#define STANDIN_EXPORT extern "C" __declspec(dllexport)
#else
#include <dlfcn.h>
#include <limits.h>
#include <unistd.h>
#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))
#endif

#if !defined(QOR_STANDIN_NO_EXPORT)
#include <chrono>
#include <mutex>
#include <set>
#include <thread>
#include <vector>
#endif

namespace {

long process_id() {
#if defined(_WIN32)
  return static_cast<long>(GetCurrentProcessId());
#else
  return static_cast<long>(getpid());
#endif
}

// This copy's own file, so a test can tell which copy was loaded.
std::string own_path() {
#if defined(_WIN32)
  HMODULE self = nullptr;
  char buf[MAX_PATH * 4];
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS |
                              GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&own_path), &self))
    return std::string();
  DWORD n = GetModuleFileNameA(self, buf, sizeof buf);
  return std::string(buf, n < sizeof buf ? n : 0);
#else
  Dl_info info;
  if (!dladdr(reinterpret_cast<void*>(&own_path), &info) || !info.dli_fname) return std::string();
  char real[PATH_MAX];
  return realpath(info.dli_fname, real) ? std::string(real) : std::string(info.dli_fname);
#endif
}

void append_text(std::string& out, const char* text) {
  if (!text) {
    out += "(null)";
    return;
  }
  static const char kHex[] = "0123456789ABCDEF";
  for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p; ++p) {
    unsigned char c = *p;
    bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                 strchr("-._~/:\\", c) != nullptr;
    if (plain) {
      out += static_cast<char>(c);
    } else {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    }
  }
}

void appendf(std::string& out, const char* fmt, ...) {
  char buf[256];
  va_list ap;
  va_start(ap, fmt);
  int n = vsnprintf(buf, sizeof buf, fmt, ap);
  va_end(ap);
  if (n > 0) out.append(buf, static_cast<size_t>(n) < sizeof buf ? n : sizeof buf - 1);
}

// One line appended to the record file named by QOR_STANDIN_RECORD, opened just
// for it: used when the library attaches, before any load.
void record_once(const std::string& line) {
  const char* path = getenv("QOR_STANDIN_RECORD");
  if (!path || !*path) return;
  FILE* f = fopen(path, "ab");
  if (!f) return;
  fputs(line.c_str(), f);
  fclose(f);
}

__attribute__((constructor)) void standin_attach() {
  std::string line = "attach path=";
  append_text(line, own_path().c_str());
#if defined(QOR_STANDIN_NO_EXPORT)
  line += " build=noexport";
#else
  line += " build=full";
#endif
  appendf(line, " pid=%ld\n", process_id());
  record_once(line);
}

#if !defined(QOR_STANDIN_NO_EXPORT)

const char kVersionText[] = "6.0.0 QOR stand-in";

bool env_flag(const char* name) {
  const char* v = getenv(name);
  return v && *v && strcmp(v, "0") != 0;
}

int env_int(const char* name, int fallback) {
  const char* v = getenv(name);
  return v && *v ? atoi(v) : fallback;
}

// Settings, read by NDIlib_v6_load; the send calls only read them.
struct Config {
  bool no_table = false;
  bool init_fail = false;
  bool create_fail = false;
  bool no_version = false;
  int connections = 0;
  std::string connections_path;
  int video_delay_ms = 0;
  bool no_checksum = false;
  bool count_only = false;
  bool stamped = false;
  bool times = false;
  std::string preview_path;
  int preview_every = 30;
  std::string audio_dump_path;
  std::string tally_path;
  std::string metadata_path;
  bool capture_empty_set = false;
  int capture_empty = 0;
  bool capture_hang = false;
};

Config gConfig;
bool gRecording = false;  // a record file is open; set with gConfig
bool gDumping = false;    // an audio dump is open; set with gConfig

std::mutex gRecordLock;  // guards gRecord and gLine
FILE* gRecord = nullptr;
uint64_t gLine = 0;

std::atomic<uint64_t> gVideoSeq{0};
std::mutex gTallyLock;  // guards gLastTally
int gLastTally = 0;      // bit 0 program, bit 1 preview, as the previous call returned it
std::string gSenderName;  // of the last send_create, guarded by gTallyLock too
std::atomic<uint64_t> gAudioSeq{0};

std::mutex gMetadataLock;    // guards gMetadataOffset and gFilled
long long gMetadataOffset = 0;  // bytes of the metadata file handed over
std::set<const char*> gFilled;  // frames handed over and not yet given back

std::mutex gDumpLock;  // guards gAudioDump
FILE* gAudioDump = nullptr;

std::mutex gPreviewLock;  // guards gPreviewRgb and the preview file
std::vector<uint8_t> gPreviewRgb;

// Instances are slots of this array; the id is the index plus one.
enum { kMaxInstances = 64 };
struct Instance {
  std::atomic<bool> live{false};
};
Instance gInstances[kMaxInstances];

NDIlib_v6 gTable;

// Writes "<event> n=<line> <rest>\n" as one piece.
void record(const char* event, const std::string& rest) {
  std::lock_guard<std::mutex> hold(gRecordLock);
  if (!gRecord) return;
  ++gLine;
  fprintf(gRecord, "%s n=%" PRIu64 "%s%s\n", event, gLine, rest.empty() ? "" : " ", rest.c_str());
  fflush(gRecord);
}

void append_instance(std::string& out, NDIlib_send_instance_t p) {
  auto* inst = static_cast<Instance*>(p);
  if (inst >= gInstances && inst < gInstances + kMaxInstances && inst->live.load()) {
    appendf(out, "inst=%d", static_cast<int>(inst - gInstances) + 1);
  } else {
    out += "inst=bad";
  }
}

void append_pointer(std::string& out, const char* key, const void* p) {
  if (p)
    appendf(out, " %s=0x%" PRIxPTR, key, reinterpret_cast<uintptr_t>(p));
  else
    appendf(out, " %s=(null)", key);
}

uint8_t clamp8(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }

// The picture as a binary PPM, NV12 to RGB (BT.601, limited range).
void write_preview(const NDIlib_video_frame_v2_t* f) {
  const int w = f->xres, h = f->yres, stride = f->line_stride_in_bytes;
  if (!f->p_data || w <= 0 || h <= 0 || stride < w) return;
  std::lock_guard<std::mutex> hold(gPreviewLock);
  gPreviewRgb.resize(static_cast<size_t>(w) * h * 3);
  const uint8_t* luma = f->p_data;
  const uint8_t* chroma = f->p_data + static_cast<size_t>(stride) * h;
  for (int y = 0; y < h; ++y) {
    const uint8_t* yrow = luma + static_cast<size_t>(stride) * y;
    const uint8_t* uvrow = chroma + static_cast<size_t>(stride) * (y / 2);
    uint8_t* out = gPreviewRgb.data() + static_cast<size_t>(w) * 3 * y;
    for (int x = 0; x < w; ++x) {
      int c = 298 * (yrow[x] - 16);
      int u = uvrow[x & ~1] - 128;
      int v = uvrow[(x & ~1) + 1] - 128;
      out[3 * x + 0] = clamp8((c + 409 * v + 128) >> 8);
      out[3 * x + 1] = clamp8((c - 100 * u - 208 * v + 128) >> 8);
      out[3 * x + 2] = clamp8((c + 516 * u + 128) >> 8);
    }
  }
  std::string tmp = gConfig.preview_path + ".tmp";
  FILE* out = fopen(tmp.c_str(), "wb");
  if (!out) return;
  fprintf(out, "P6\n%d %d\n255\n", w, h);
  fwrite(gPreviewRgb.data(), 1, gPreviewRgb.size(), out);
  fclose(out);
#if defined(_WIN32)
  MoveFileExA(tmp.c_str(), gConfig.preview_path.c_str(), MOVEFILE_REPLACE_EXISTING);
#else
  rename(tmp.c_str(), gConfig.preview_path.c_str());
#endif
}

// ---- The table's members ----

bool standin_initialize() {
  std::string rest;
  appendf(rest, "result=%d", gConfig.init_fail ? 0 : 1);
  record("initialize", rest);
  return !gConfig.init_fail;
}

void standin_destroy() { record("destroy", std::string()); }

const char* standin_version() {
  const char* v = gConfig.no_version ? nullptr : kVersionText;
  std::string rest = "result=";
  append_text(rest, v);
  record("version", rest);
  return v;
}

bool standin_is_supported_CPU() {
  record("is_supported_CPU", "result=1");
  return true;
}

NDIlib_send_instance_t standin_send_create(const NDIlib_send_create_t* settings) {
  Instance* made = nullptr;
  if (!gConfig.create_fail) {
    for (Instance& slot : gInstances) {
      bool expected = false;
      if (slot.live.compare_exchange_strong(expected, true)) {
        made = &slot;
        break;
      }
    }
  }
  if (settings && settings->p_ndi_name) {
    std::lock_guard<std::mutex> hold(gTallyLock);
    gSenderName = settings->p_ndi_name;
  }
  std::string rest = "name=";
  append_text(rest, settings ? settings->p_ndi_name : nullptr);
  rest += " groups=";
  append_text(rest, settings ? settings->p_groups : nullptr);
  appendf(rest, " clock_video=%d clock_audio=%d", settings && settings->clock_video ? 1 : 0,
          settings && settings->clock_audio ? 1 : 0);
  if (made)
    appendf(rest, " result=%d", static_cast<int>(made - gInstances) + 1);
  else
    rest += " result=(null)";
  record("send_create", rest);
  return made;
}

void standin_send_destroy(NDIlib_send_instance_t p) {
  std::string rest;
  append_instance(rest, p);
  size_t unfreed;
  {
    std::lock_guard<std::mutex> hold(gMetadataLock);
    unfreed = gFilled.size();
  }
  appendf(rest, " videos=%" PRIu64 " audios=%" PRIu64 " unfreed=%zu", gVideoSeq.load(), gAudioSeq.load(),
          unfreed);
  record("send_destroy", rest);
  auto* inst = static_cast<Instance*>(p);
  if (inst >= gInstances && inst < gInstances + kMaxInstances) inst->live.store(false);
}

// The connections file's count, read on every call; QOR_STANDIN_CONNECTIONS
// when there is no file or no number in it.
int standin_send_get_no_connections(NDIlib_send_instance_t p, uint32_t timeout_ms) {
  int count = gConfig.connections;
  if (!gConfig.connections_path.empty()) {
    if (FILE* f = fopen(gConfig.connections_path.c_str(), "rb")) {
      char buf[64];
      size_t n = fread(buf, 1, sizeof buf - 1, f);
      fclose(f);
      buf[n] = '\0';
      char* end = nullptr;
      long v = strtol(buf, &end, 10);
      if (end != buf && v >= 0 && v <= INT_MAX) count = static_cast<int>(v);
    }
  }
  if (gRecording) {
    std::string rest;
    append_instance(rest, p);
    appendf(rest, " timeout=%" PRIu32 " result=%d", timeout_ms, count);
    record("connections", rest);
  }
  return count;
}

// The tally file's words, read on every call; a tally that changed since the
// previous call returns true, as the runtime's does.
bool standin_send_get_tally(NDIlib_send_instance_t p, NDIlib_tally_t* tally, uint32_t timeout_ms) {
  std::string text;
  if (!gConfig.tally_path.empty()) {
    if (FILE* f = fopen(gConfig.tally_path.c_str(), "rb")) {
      char buf[4096];
      size_t n = fread(buf, 1, sizeof buf, f);
      text.assign(buf, n);
      fclose(f);
    }
    std::string mine;
    {
      std::lock_guard<std::mutex> hold(gTallyLock);
      mine = "\n" + gSenderName + "\t";
    }
    size_t at = ("\n" + text).find(mine);
    if (at != std::string::npos) text = text.substr(at, text.find('\n', at) - at);
  }
  const bool program = text.find("program") != std::string::npos;
  const bool preview = text.find("preview") != std::string::npos;
  const int now = (program ? 1 : 0) | (preview ? 2 : 0);
  bool changed;
  {
    std::lock_guard<std::mutex> hold(gTallyLock);
    changed = now != gLastTally;
    gLastTally = now;
  }
  if (tally) {
    tally->on_program = program;
    tally->on_preview = preview;
  }
  if (gRecording) {
    std::string rest;
    append_instance(rest, p);
    appendf(rest, " timeout=%" PRIu32 " program=%d preview=%d result=%d", timeout_ms, program ? 1 : 0,
            preview ? 1 : 0, changed ? 1 : 0);
    record("tally", rest);
  }
  return changed;
}

// ---- Metadata: what receivers send, and what the sender offers them ----

void standin_send_metadata(NDIlib_send_instance_t p, const NDIlib_metadata_frame_t* f) {
  std::string rest;
  append_instance(rest, p);
  rest += " text=";
  append_text(rest, f ? f->p_data : nullptr);
  record("send_metadata", rest);
}

void standin_clear_connection_metadata(NDIlib_send_instance_t p) {
  std::string rest;
  append_instance(rest, p);
  record("clear_connection_metadata", rest);
}

void standin_add_connection_metadata(NDIlib_send_instance_t p, const NDIlib_metadata_frame_t* f) {
  std::string rest;
  append_instance(rest, p);
  appendf(rest, " length=%d timecode=%" PRId64 " text=", f ? f->length : 0, f ? f->timecode : 0);
  append_text(rest, f ? f->p_data : nullptr);
  record("connection_metadata", rest);
}

// The next whole line of the metadata file, taken (false when none is there yet).
bool next_metadata_line(std::string* line) {
  if (gConfig.metadata_path.empty()) return false;
  FILE* f = fopen(gConfig.metadata_path.c_str(), "rb");
  if (!f) return false;
  std::lock_guard<std::mutex> hold(gMetadataLock);
  std::string text;
  bool found = false;
  if (fseek(f, static_cast<long>(gMetadataOffset), SEEK_SET) == 0) {
    int c;
    while ((c = fgetc(f)) != EOF) {
      if (c == '\n') {
        found = true;
        break;
      }
      text += static_cast<char>(c);
    }
  }
  fclose(f);
  if (!found) return false;
  gMetadataOffset += static_cast<long long>(text.size()) + 1;
  *line = text;
  return true;
}

NDIlib_frame_type_e standin_send_capture(NDIlib_send_instance_t p, NDIlib_metadata_frame_t* f, uint32_t timeout_ms) {
  std::string rest;
  append_instance(rest, p);
  appendf(rest, " timeout=%" PRIu32, timeout_ms);
  if (gConfig.capture_hang) {
    record("capture", rest + " result=hang");
    for (;;) std::this_thread::sleep_for(std::chrono::seconds(60));
  }
  auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  std::string line;
  for (;;) {
    if (next_metadata_line(&line)) break;
    if (gConfig.capture_empty_set || std::chrono::steady_clock::now() >= until) {
      NDIlib_frame_type_e none = gConfig.capture_empty_set ? gConfig.capture_empty : NDIlib_frame_type_none;
      appendf(rest, " result=%d", static_cast<int>(none));
      record("capture", rest);
      return none;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  char* data = static_cast<char*>(malloc(line.size() + 1));
  memcpy(data, line.c_str(), line.size() + 1);
  {
    std::lock_guard<std::mutex> hold(gMetadataLock);
    gFilled.insert(data);
  }
  f->length = static_cast<int>(line.size() + 1);
  f->timecode = NDIlib_send_timecode_synthesize;
  f->p_data = data;
  appendf(rest, " result=%d", static_cast<int>(NDIlib_frame_type_metadata));
  append_pointer(rest, "data", data);
  record("capture", rest);
  return NDIlib_frame_type_metadata;
}

void standin_free_metadata(NDIlib_send_instance_t p, const NDIlib_metadata_frame_t* f) {
  const char* data = f ? f->p_data : nullptr;
  bool known;
  {
    std::lock_guard<std::mutex> hold(gMetadataLock);
    known = data && gFilled.erase(data) == 1;
  }
  std::string rest;
  append_instance(rest, p);
  append_pointer(rest, "data", data);
  appendf(rest, " known=%d", known ? 1 : 0);
  record("free_metadata", rest);
  if (known) free(const_cast<char*>(data));
}

// The time a stamped picture was due, in microseconds of the clock the stand-in
// decoder stamps with.
int64_t stamp_due_us(const uint8_t* data) {
  uint64_t due = 0;
  for (int k = 0; k < 8; ++k) due |= static_cast<uint64_t>(data[k]) << (8 * k);
  return static_cast<int64_t>(due);
}

int64_t now_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

int64_t wall_us() {
  return std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

void standin_send_video(NDIlib_send_instance_t p, const NDIlib_video_frame_v2_t* f) {
  const int64_t called_us = gConfig.times ? wall_us() : 0;
  const uint64_t seq = gVideoSeq.fetch_add(1) + 1;
  if (gRecording && f && !gConfig.count_only) {
    const bool stamped = gConfig.stamped && f->p_data && f->xres > 0 && f->yres > 0 &&
                         static_cast<int64_t>(f->xres) * f->yres * 3 / 2 >= 8;
    const int64_t due_us = stamped ? stamp_due_us(f->p_data) : 0;
    const int64_t age_us = stamped ? now_us() - due_us : 0;
    std::string rest;
    rest.reserve(512);
    append_instance(rest, p);
    appendf(rest, " seq=%" PRIu64 " xres=%d yres=%d fourcc=0x%08" PRIX32 " rate_n=%d rate_d=%d", seq,
            f->xres, f->yres, static_cast<uint32_t>(f->FourCC), f->frame_rate_N, f->frame_rate_D);
    appendf(rest, " aspect=%.9g aspect_bits=0x%08" PRIX32 " format=%d timecode=%" PRId64,
            static_cast<double>(f->picture_aspect_ratio), float_bits(f->picture_aspect_ratio),
            static_cast<int>(f->frame_format_type), f->timecode);
    append_pointer(rest, "data", f->p_data);
    appendf(rest, " stride=%d metadata=", f->line_stride_in_bytes);
    append_text(rest, f->p_metadata);
    const int64_t bytes = static_cast<int64_t>(f->xres) * f->yres * 3 / 2;
    appendf(rest, " timestamp=%" PRId64 " bytes=%" PRId64, f->timestamp, bytes);
    if (stamped) appendf(rest, " due_us=%" PRId64 " age_us=%" PRId64, due_us, age_us);
    if (gConfig.times && f->p_data && f->xres > 0 && f->yres > 0 && f->line_stride_in_bytes >= f->xres)
      appendf(rest, " wall_us=%" PRId64 " centre_y=%d", called_us,
              f->p_data[static_cast<size_t>(f->yres / 2) * static_cast<size_t>(f->line_stride_in_bytes) + f->xres / 2]);
    if (gConfig.no_checksum)
      rest += " fnv=skipped";
    else if (f->p_data && f->xres > 0 && f->yres > 0)
      appendf(rest, " fnv=%016" PRIx64, fnv1a64(f->p_data, static_cast<size_t>(bytes)));
    else
      rest += " fnv=none";
    record("video", rest);
  }
  if (f && !gConfig.preview_path.empty() && gConfig.preview_every > 0 &&
      (seq - 1) % static_cast<uint64_t>(gConfig.preview_every) == 0)
    write_preview(f);
  if (gConfig.video_delay_ms > 0)
    std::this_thread::sleep_for(std::chrono::milliseconds(gConfig.video_delay_ms));
}

// The frame's planes, one after the other, appended to the audio dump.
void dump_audio(const NDIlib_audio_frame_v2_t* f) {
  if (!f->p_data || f->no_samples <= 0 || f->no_channels <= 0 || f->channel_stride_in_bytes < 0) return;
  std::lock_guard<std::mutex> hold(gDumpLock);
  if (!gAudioDump) return;
  for (int k = 0; k < f->no_channels; ++k)
    fwrite(reinterpret_cast<const uint8_t*>(f->p_data) + static_cast<size_t>(f->channel_stride_in_bytes) * k,
           sizeof(float), static_cast<size_t>(f->no_samples), gAudioDump);
  fflush(gAudioDump);
}

void standin_send_audio(NDIlib_send_instance_t p, const NDIlib_audio_frame_v2_t* f) {
  const int64_t called_us = gConfig.times ? wall_us() : 0;
  const uint64_t seq = gAudioSeq.fetch_add(1) + 1;
  if (f && gDumping) dump_audio(f);
  if (!gRecording || !f || gConfig.count_only) return;
  std::string rest;
  rest.reserve(1024);
  append_instance(rest, p);
  appendf(rest, " seq=%" PRIu64 " rate=%d channels=%d samples=%d timecode=%" PRId64, seq,
          f->sample_rate, f->no_channels, f->no_samples, f->timecode);
  append_pointer(rest, "data", f->p_data);
  appendf(rest, " stride=%d metadata=", f->channel_stride_in_bytes);
  append_text(rest, f->p_metadata);
  appendf(rest, " timestamp=%" PRId64, f->timestamp);
  if (gConfig.times && f->p_data && f->no_samples > 0) {
    float peak = 0;
    for (int k = 0; k < f->no_samples; ++k) peak = std::max(peak, std::fabs(f->p_data[k]));
    appendf(rest, " wall_us=%" PRId64 " peak=%.4f", called_us, static_cast<double>(peak));
  }
  if (f->p_data && f->no_samples > 0 && f->channel_stride_in_bytes >= 0) {
    const int planes = f->no_channels < 16 ? f->no_channels : 16;
    const uint64_t plane_bytes = static_cast<uint64_t>(f->no_samples) * sizeof(float);
    for (int k = 0; k < planes; ++k) {
      const uint8_t* plane =
          reinterpret_cast<const uint8_t*>(f->p_data) + static_cast<size_t>(f->channel_stride_in_bytes) * k;
      float first, last;
      memcpy(&first, plane, sizeof first);
      memcpy(&last, plane + plane_bytes - sizeof last, sizeof last);
      appendf(rest, " p%d_fnv=%016" PRIx64 " p%d_first=0x%08" PRIX32 " p%d_last=0x%08" PRIX32, k,
              fnv1a64(plane, plane_bytes), k, float_bits(first), k, float_bits(last));
    }
  }
  record("audio", rest);
}

#endif  // !QOR_STANDIN_NO_EXPORT

}  // namespace

#if !defined(QOR_STANDIN_NO_EXPORT)

// The entry point: (re)reads the settings, (re)opens the record and hands out
// the table, or null when told to.
STANDIN_EXPORT const NDIlib_v6* NDIlib_v6_load(void) {
  Config c;
  c.no_table = env_flag("QOR_STANDIN_NO_TABLE");
  c.init_fail = env_flag("QOR_STANDIN_INIT_FAIL");
  c.create_fail = env_flag("QOR_STANDIN_CREATE_FAIL");
  c.no_version = env_flag("QOR_STANDIN_NO_VERSION");
  c.connections = env_int("QOR_STANDIN_CONNECTIONS", 0);
  c.video_delay_ms = env_int("QOR_STANDIN_VIDEO_DELAY_MS", 0);
  c.no_checksum = env_flag("QOR_STANDIN_NO_CHECKSUM");
  c.count_only = env_flag("QOR_STANDIN_COUNT_ONLY");
  c.stamped = env_flag("QOR_STANDIN_STAMPED");
  c.times = env_flag("QOR_STANDIN_TIMES");
  if (const char* preview = getenv("QOR_STANDIN_PREVIEW")) c.preview_path = preview;
  c.preview_every = env_int("QOR_STANDIN_PREVIEW_EVERY", 30);
  if (const char* dump = getenv("QOR_STANDIN_AUDIO_DUMP")) c.audio_dump_path = dump;
  if (const char* tally = getenv("QOR_STANDIN_TALLY_FILE")) c.tally_path = tally;
  if (const char* conns = getenv("QOR_STANDIN_CONNECTIONS_FILE")) c.connections_path = conns;
  if (const char* metadata = getenv("QOR_STANDIN_METADATA_FILE")) c.metadata_path = metadata;
  if (const char* empty = getenv("QOR_STANDIN_CAPTURE_EMPTY"); empty && *empty) {
    c.capture_empty_set = true;
    c.capture_empty = atoi(empty);
  }
  c.capture_hang = env_flag("QOR_STANDIN_CAPTURE_HANG");
  const char* record_path = getenv("QOR_STANDIN_RECORD");

  {
    std::lock_guard<std::mutex> hold(gRecordLock);
    if (gRecord) fclose(gRecord);
    gRecord = record_path && *record_path ? fopen(record_path, "ab") : nullptr;
    gLine = 0;
  }
  {
    std::lock_guard<std::mutex> hold(gDumpLock);
    if (gAudioDump) fclose(gAudioDump);
    gAudioDump = c.audio_dump_path.empty() ? nullptr : fopen(c.audio_dump_path.c_str(), "ab");
  }
  gConfig = c;
  gRecording = gRecord != nullptr;
  gDumping = gAudioDump != nullptr;
  gVideoSeq.store(0);
  gAudioSeq.store(0);
  {
    std::lock_guard<std::mutex> hold(gTallyLock);
    gLastTally = 0;
  }
  {
    std::lock_guard<std::mutex> hold(gMetadataLock);
    gMetadataOffset = 0;
  }

  NDIlib_v6 t{};
  t.initialize = standin_initialize;
  t.destroy = standin_destroy;
  t.version = standin_version;
  t.is_supported_CPU = standin_is_supported_CPU;
  t.send_create = standin_send_create;
  t.send_destroy = standin_send_destroy;
  t.send_send_metadata = standin_send_metadata;
  t.send_capture = standin_send_capture;
  t.send_free_metadata = standin_free_metadata;
  t.send_clear_connection_metadata = standin_clear_connection_metadata;
  t.send_add_connection_metadata = standin_add_connection_metadata;
  t.send_get_tally = standin_send_get_tally;
  t.send_get_no_connections = standin_send_get_no_connections;
  t.send_send_video_v2 = standin_send_video;
  t.send_send_audio_v2 = standin_send_audio;
  gTable = t;

  std::string rest = "path=";
  append_text(rest, own_path().c_str());
  appendf(rest, " table=%d slots=%u pid=%ld", c.no_table ? 0 : 1, static_cast<unsigned>(kNdiTableSlots),
          process_id());
  record("load", rest);
  return c.no_table ? nullptr : &gTable;
}

#endif
