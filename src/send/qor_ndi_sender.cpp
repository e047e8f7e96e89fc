// The NDI sender: one send instance, fed with NV12 pictures and interleaved
// float audio (sent planar). Takes no lock of its own: the runtime accepts a
// video send, an audio send and a receiver-count query at once, and the audio
// scratch buffer is touched only by the audio call, which has one caller. The
// tally is asked for by the status reporter alone, metadata by the PTZ
// listener alone.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "qor_ndi.h"
#include "qor_ndi_internal.h"

static_assert(kTimecodeSynthesize == NDIlib_send_timecode_synthesize, "the runtime's own timecode");

qor_ndi_sender* qor_ndi_sender_create(const char* name) {
  if (!gNDI) return nullptr;
  NDIlib_send_create_t settings{};
  settings.p_ndi_name = name;
  settings.p_groups = nullptr;  // the runtime's default groups
  settings.clock_video = false;  // the live source is the pace: no pacing by the runtime
  settings.clock_audio = false;
  NDIlib_send_instance_t instance = gNDI->send_create(&settings);
  if (!instance) return nullptr;
  auto* s = static_cast<qor_ndi_sender*>(calloc(1, sizeof(qor_ndi_sender)));
  if (!s) {
    gNDI->send_destroy(instance);
    return nullptr;
  }
  s->instance = instance;
  return s;
}

void qor_ndi_sender_destroy(qor_ndi_sender* s) {
  if (!s || !gNDI) return;
  gNDI->send_destroy(s->instance);
  free(s->planar);
  free(s);
}

int32_t qor_ndi_sender_connections(qor_ndi_sender* s) {
  if (!s || !gNDI) return 0;
  return gNDI->send_get_no_connections(s->instance, 0);  // zero wait: the count now
}

void qor_ndi_sender_tally(qor_ndi_sender* s, bool* program, bool* preview) {
  *program = *preview = false;
  if (!s || !gNDI || !gNDI->send_get_tally) return;
  NDIlib_tally_t tally{};
  // Zero wait: the tally now. Whether it changed is of no interest, as every
  // status line carries it whole.
  gNDI->send_get_tally(s->instance, &tally, 0);
  *program = tally.on_program;
  *preview = tally.on_preview;
}

void qor_ndi_send_video_nv12(qor_ndi_sender* s, const uint8_t* nv12, int32_t width, int32_t height,
                             int32_t rate_n, int32_t rate_d, int64_t timecode) {
  if (!s || !gNDI) return;
  NDIlib_video_frame_v2_t frame{};
  frame.xres = width;
  frame.yres = height;
  frame.FourCC = NDIlib_FourCC_video_type_NV12;
  frame.frame_rate_N = rate_n;
  frame.frame_rate_D = rate_d;
  frame.picture_aspect_ratio = static_cast<float>(width) / static_cast<float>(height);
  frame.frame_format_type = NDIlib_frame_format_type_progressive;
  frame.timecode = timecode;
  frame.p_data = const_cast<uint8_t*>(nv12);  // only read by the runtime
  frame.line_stride_in_bytes = width;
  frame.p_metadata = nullptr;
  frame.timestamp = 0;
  // Synchronous: the runtime is done with the picture when this returns.
  gNDI->send_send_video_v2(s->instance, &frame);
}

void qor_ndi_send_audio_interleaved(qor_ndi_sender* s, const float* samples, int32_t sample_count,
                                    int32_t channel_count, int32_t sample_rate, int64_t timecode) {
  if (!gNDI || !s || sample_count <= 0 || channel_count <= 0) return;

  const uint64_t samples_n = static_cast<uint64_t>(sample_count);
  const uint64_t channels_n = static_cast<uint64_t>(channel_count);
  const uint64_t needed = samples_n * channels_n;  // below 2^62: needed * 4 fits a 64-bit size
  if (s->planar_capacity < needed) {
    void* grown = realloc(s->planar, static_cast<size_t>(needed) * sizeof(float));
    if (!grown) return;  // the old buffer and capacity stay as they were
    s->planar = static_cast<float*>(grown);
    s->planar_capacity = needed;
  }

  float* planar = s->planar;
  for (uint64_t k = 0; k < channels_n; ++k) {
    float* plane = planar + k * samples_n;
    const float* in = samples + k;
    for (uint64_t i = 0; i < samples_n; ++i) plane[i] = in[i * channels_n];
  }

  NDIlib_audio_frame_v2_t frame{};
  frame.sample_rate = sample_rate;
  frame.no_channels = channel_count;
  frame.no_samples = sample_count;
  frame.timecode = timecode;
  frame.p_data = planar;
  // The runtime's field is a 32-bit int; computed wide so a huge block cannot overflow.
  frame.channel_stride_in_bytes = static_cast<int>(samples_n * sizeof(float));
  frame.p_metadata = nullptr;
  frame.timestamp = 0;
  gNDI->send_send_audio_v2(s->instance, &frame);
}

bool qor_ndi_sender_offer_ptz(qor_ndi_sender* s) {
  if (!s || !gNDI || !gNDI->send_add_connection_metadata || !gNDI->send_capture || !gNDI->send_free_metadata)
    return false;
  char text[] = "<ntk_ptz enabled=\"true\"/>";
  NDIlib_metadata_frame_t frame{};
  frame.length = static_cast<int>(sizeof text);  // the NUL included
  frame.timecode = NDIlib_send_timecode_synthesize;
  frame.p_data = text;
  gNDI->send_add_connection_metadata(s->instance, &frame);
  return true;
}

Capture qor_ndi_sender_capture(qor_ndi_sender* s, char* buf, size_t max_len, size_t* len, uint32_t timeout_ms) {
  *len = 0;
  buf[0] = '\0';
  if (!s || !gNDI || !gNDI->send_capture || !gNDI->send_free_metadata) return Capture::kNothing;
  NDIlib_metadata_frame_t frame{};
  NDIlib_frame_type_e type = gNDI->send_capture(s->instance, &frame, timeout_ms);
  if (type != NDIlib_frame_type_metadata) return Capture::kNothing;
  Capture found = Capture::kNothing;
  if (frame.p_data) {
    // Never read past the length the runtime gives (the NUL included), nor
    // further than one byte beyond what a command may hold.
    size_t bound = max_len + 1;
    if (frame.length > 0 && static_cast<size_t>(frame.length) < bound) bound = static_cast<size_t>(frame.length);
    size_t n = strnlen(frame.p_data, bound);
    if (n > max_len) {
      found = Capture::kIgnored;
    } else {
      memcpy(buf, frame.p_data, n);
      buf[n] = '\0';
      *len = n;
      found = Capture::kText;
    }
  }
  gNDI->send_free_metadata(s->instance, &frame);
  return found;
}
