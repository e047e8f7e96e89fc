// The NDI runtime's binary interface as this project uses it: the function
// table handed out by the runtime's entry point, the send-creation settings,
// the two frame types, the tally, the metadata frame and their constant values. These are the
// project's own declarations, written from the runtime's documented layout for
// x86-64 (Windows x64 and Linux x86-64 agree); every offset and size is checked
// below, so a wrong layout fails the build. Shared by the NDI module and by the
// stand-in runtime the tests load in its place.
#pragma once
#include <cstddef>
#include <cstdint>

// The runtime's file name on this platform; the message texts of the loader are
// built from it at compile time.
#if defined(_WIN32)
#define QOR_NDI_RUNTIME_FILE "Processing.NDI.Lib.x64.dll"
#elif defined(__APPLE__)
#define QOR_NDI_RUNTIME_FILE "libndi.dylib"
#else
#define QOR_NDI_RUNTIME_FILE "libndi.so.6"
#endif

// The one export: a plain C symbol, no arguments, returns the constant table.
#define QOR_NDI_ENTRY_POINT "NDIlib_v6_load"

// Enumerations inside the runtime's structures are 32-bit signed integers.
typedef int32_t NDIlib_FourCC_video_type_e;
typedef int32_t NDIlib_frame_format_type_e;

// The four characters N, V, 1, 2 as a little-endian 32-bit code.
constexpr NDIlib_FourCC_video_type_e NDIlib_FourCC_video_type_NV12 = 0x3231564E;
constexpr NDIlib_frame_format_type_e NDIlib_frame_format_type_interleaved = 0;
constexpr NDIlib_frame_format_type_e NDIlib_frame_format_type_progressive = 1;
constexpr NDIlib_frame_format_type_e NDIlib_frame_format_type_field_0 = 2;
constexpr NDIlib_frame_format_type_e NDIlib_frame_format_type_field_1 = 3;
// Timecode value that asks the runtime to synthesise one.
constexpr int64_t NDIlib_send_timecode_synthesize = INT64_MAX;

// An opaque send instance.
typedef void* NDIlib_send_instance_t;

struct NDIlib_send_create_t {
  const char* p_ndi_name;  // UTF-8 source name
  const char* p_groups;    // null: the runtime's default groups
  bool clock_video;
  bool clock_audio;
};

struct NDIlib_video_frame_v2_t {
  int xres;
  int yres;
  NDIlib_FourCC_video_type_e FourCC;
  int frame_rate_N;
  int frame_rate_D;
  float picture_aspect_ratio;
  NDIlib_frame_format_type_e frame_format_type;
  int64_t timecode;  // 100 ns units
  uint8_t* p_data;
  union {
    int line_stride_in_bytes;
    int data_size_in_bytes;
  };
  const char* p_metadata;
  int64_t timestamp;
};

// Planar 32-bit float audio.
struct NDIlib_audio_frame_v2_t {
  int sample_rate;
  int no_channels;
  int no_samples;  // per channel
  int64_t timecode;
  float* p_data;
  int channel_stride_in_bytes;
  const char* p_metadata;
  int64_t timestamp;
};

// Whether any receiver has the source on its program output, and on preview.
struct NDIlib_tally_t {
  bool on_program;
  bool on_preview;
};

// Metadata: XML text a receiver sends to the sender (PTZ commands among it),
// and the connection metadata a sender offers every receiver on connecting.
struct NDIlib_metadata_frame_t {
  int length;        // bytes, the terminating NUL included; 0: measure the text
  int64_t timecode;  // 100 ns units
  char* p_data;      // UTF-8 XML text, NUL-terminated
};

// What send_capture returned.
typedef int32_t NDIlib_frame_type_e;
constexpr NDIlib_frame_type_e NDIlib_frame_type_none = 0;
constexpr NDIlib_frame_type_e NDIlib_frame_type_metadata = 3;
constexpr NDIlib_frame_type_e NDIlib_frame_type_error = 4;
constexpr NDIlib_frame_type_e NDIlib_frame_type_status_change = 100;

// A table slot the project never calls.
typedef void (*NDIlib_unused_slot_t)(void);

// The runtime's function table. Newer runtimes only append slots, so a newer
// table is a superset; the smallest a v6 runtime hands out has 124 slots.
struct NDIlib_v6 {
  bool (*initialize)(void);                                   // slot 0
  void (*destroy)(void);                                      // slot 1 (never called)
  const char* (*version)(void);                               // slot 2
  bool (*is_supported_CPU)(void);                             // slot 3
  NDIlib_unused_slot_t unused_4_7[4];                         // slots 4-7
  NDIlib_send_instance_t (*send_create)(const NDIlib_send_create_t* p_create_settings);  // slot 8
  void (*send_destroy)(NDIlib_send_instance_t p_instance);    // slot 9
  NDIlib_unused_slot_t unused_10_12[3];                       // slots 10-12
  void (*send_send_metadata)(NDIlib_send_instance_t p_instance,
                             const NDIlib_metadata_frame_t* p_metadata);  // slot 13 (not used)
  // Waits up to the timeout for what a receiver sent; fills the frame and
  // returns NDIlib_frame_type_metadata when there is some.
  NDIlib_frame_type_e (*send_capture)(NDIlib_send_instance_t p_instance, NDIlib_metadata_frame_t* p_metadata,
                                      uint32_t timeout_in_ms);  // slot 14
  // Hands back what send_capture filled.
  void (*send_free_metadata)(NDIlib_send_instance_t p_instance,
                             const NDIlib_metadata_frame_t* p_metadata);  // slot 15
  // Fills the tally either way; true when it changed since the last call.
  bool (*send_get_tally)(NDIlib_send_instance_t p_instance, NDIlib_tally_t* p_tally,
                         uint32_t timeout_in_ms);                 // slot 16
  int (*send_get_no_connections)(NDIlib_send_instance_t p_instance, uint32_t timeout_in_ms);  // slot 17
  void (*send_clear_connection_metadata)(NDIlib_send_instance_t p_instance);  // slot 18 (not used)
  // Sent to every receiver on connecting, now and later.
  void (*send_add_connection_metadata)(NDIlib_send_instance_t p_instance,
                                       const NDIlib_metadata_frame_t* p_metadata);  // slot 19
  NDIlib_unused_slot_t unused_20_49[30];                      // slots 20-49
  void (*send_send_video_v2)(NDIlib_send_instance_t p_instance,
                             const NDIlib_video_frame_v2_t* p_video_data);  // slot 50, synchronous
  void (*send_send_video_async_v2)(NDIlib_send_instance_t p_instance,
                                   const NDIlib_video_frame_v2_t* p_video_data);  // slot 51 (not used)
  void (*send_send_audio_v2)(NDIlib_send_instance_t p_instance,
                             const NDIlib_audio_frame_v2_t* p_audio_data);  // slot 52
  NDIlib_unused_slot_t unused_53_123[71];                     // slots 53-123
};

typedef const NDIlib_v6* (*NDIlib_v6_load_t)(void);

constexpr size_t kNdiTableSlots = 124;

// ---- Layout checks (x86-64) ----
static_assert(sizeof(void*) == 8, "the NDI declarations are written for 64-bit targets");
static_assert(sizeof(int) == 4 && sizeof(float) == 4, "int and float must be 32-bit");

static_assert(sizeof(NDIlib_send_create_t) == 24, "NDIlib_send_create_t size");
static_assert(offsetof(NDIlib_send_create_t, p_ndi_name) == 0, "p_ndi_name");
static_assert(offsetof(NDIlib_send_create_t, p_groups) == 8, "p_groups");
static_assert(offsetof(NDIlib_send_create_t, clock_video) == 16, "clock_video");
static_assert(offsetof(NDIlib_send_create_t, clock_audio) == 17, "clock_audio");
static_assert(sizeof(bool) == 1, "bool must be one byte");

static_assert(sizeof(NDIlib_video_frame_v2_t) == 72, "NDIlib_video_frame_v2_t size");
static_assert(offsetof(NDIlib_video_frame_v2_t, xres) == 0, "xres");
static_assert(offsetof(NDIlib_video_frame_v2_t, yres) == 4, "yres");
static_assert(offsetof(NDIlib_video_frame_v2_t, FourCC) == 8, "FourCC");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_N) == 12, "frame_rate_N");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_rate_D) == 16, "frame_rate_D");
static_assert(offsetof(NDIlib_video_frame_v2_t, picture_aspect_ratio) == 20, "picture_aspect_ratio");
static_assert(offsetof(NDIlib_video_frame_v2_t, frame_format_type) == 24, "frame_format_type");
static_assert(offsetof(NDIlib_video_frame_v2_t, timecode) == 32, "video timecode");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_data) == 40, "video p_data");
static_assert(offsetof(NDIlib_video_frame_v2_t, line_stride_in_bytes) == 48, "line_stride_in_bytes");
static_assert(offsetof(NDIlib_video_frame_v2_t, data_size_in_bytes) == 48, "data_size_in_bytes");
static_assert(offsetof(NDIlib_video_frame_v2_t, p_metadata) == 56, "video p_metadata");
static_assert(offsetof(NDIlib_video_frame_v2_t, timestamp) == 64, "video timestamp");

static_assert(sizeof(NDIlib_audio_frame_v2_t) == 56, "NDIlib_audio_frame_v2_t size");
static_assert(offsetof(NDIlib_audio_frame_v2_t, sample_rate) == 0, "sample_rate");
static_assert(offsetof(NDIlib_audio_frame_v2_t, no_channels) == 4, "no_channels");
static_assert(offsetof(NDIlib_audio_frame_v2_t, no_samples) == 8, "no_samples");
static_assert(offsetof(NDIlib_audio_frame_v2_t, timecode) == 16, "audio timecode");
static_assert(offsetof(NDIlib_audio_frame_v2_t, p_data) == 24, "audio p_data");
static_assert(offsetof(NDIlib_audio_frame_v2_t, channel_stride_in_bytes) == 32, "channel_stride_in_bytes");
static_assert(offsetof(NDIlib_audio_frame_v2_t, p_metadata) == 40, "audio p_metadata");
static_assert(offsetof(NDIlib_audio_frame_v2_t, timestamp) == 48, "audio timestamp");

static_assert(sizeof(NDIlib_tally_t) == 2, "NDIlib_tally_t size");
static_assert(offsetof(NDIlib_tally_t, on_program) == 0, "on_program");
static_assert(offsetof(NDIlib_tally_t, on_preview) == 1, "on_preview");

static_assert(sizeof(NDIlib_metadata_frame_t) == 24, "NDIlib_metadata_frame_t size");
static_assert(offsetof(NDIlib_metadata_frame_t, length) == 0, "metadata length");
static_assert(offsetof(NDIlib_metadata_frame_t, timecode) == 8, "metadata timecode");
static_assert(offsetof(NDIlib_metadata_frame_t, p_data) == 16, "metadata p_data");

static_assert(sizeof(NDIlib_v6) == kNdiTableSlots * 8, "the table has 124 pointer slots");
static_assert(offsetof(NDIlib_v6, initialize) == 0 * 8, "slot 0");
static_assert(offsetof(NDIlib_v6, destroy) == 1 * 8, "slot 1");
static_assert(offsetof(NDIlib_v6, version) == 2 * 8, "slot 2");
static_assert(offsetof(NDIlib_v6, is_supported_CPU) == 3 * 8, "slot 3");
static_assert(offsetof(NDIlib_v6, send_create) == 8 * 8, "slot 8");
static_assert(offsetof(NDIlib_v6, send_destroy) == 9 * 8, "slot 9");
static_assert(offsetof(NDIlib_v6, send_send_metadata) == 13 * 8, "slot 13");
static_assert(offsetof(NDIlib_v6, send_capture) == 14 * 8, "slot 14");
static_assert(offsetof(NDIlib_v6, send_free_metadata) == 15 * 8, "slot 15");
static_assert(offsetof(NDIlib_v6, send_get_tally) == 16 * 8, "slot 16");
static_assert(offsetof(NDIlib_v6, send_get_no_connections) == 17 * 8, "slot 17");
static_assert(offsetof(NDIlib_v6, send_clear_connection_metadata) == 18 * 8, "slot 18");
static_assert(offsetof(NDIlib_v6, send_add_connection_metadata) == 19 * 8, "slot 19");
static_assert(offsetof(NDIlib_v6, send_send_video_v2) == 50 * 8, "slot 50");
static_assert(offsetof(NDIlib_v6, send_send_video_async_v2) == 51 * 8, "slot 51");
static_assert(offsetof(NDIlib_v6, send_send_audio_v2) == 52 * 8, "slot 52");
static_assert(offsetof(NDIlib_v6, unused_53_123) == 53 * 8, "slot 53");
