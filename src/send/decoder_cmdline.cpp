// The decoder's argument vector. The decoder is always asked for the same
// things: a low-latency RTSP read over TCP, the first video stream scaled to the
// requested size in NV12 and written raw to the video channel, and (unless audio
// is off) the first audio stream as 48 kHz stereo float, written raw to the
// audio channel. The frame rate is not passed: pictures keep the source's timing
// and the rate is only announced to NDI.
//
// Both outputs ask for tcp_nodelay: the decoder writes a picture in pieces of
// its I/O buffer, and with Nagle's algorithm the last, short piece waits for the
// acknowledgement of the ones before it. The video receive waits for the whole
// picture before it reads, so that acknowledgement only went out when the next
// picture's bytes arrived: every picture reached the runtime a frame late, and
// audio blocks up to 40 ms late.
#include "decoder_cmdline.h"

#include <cstdio>

#include "options.h"

enum { kAudioRate = 48000 };

void build_decoder_args(DecoderArgs* a, int32_t video_port, int32_t audio_port) {
  snprintf(a->scale, sizeof a->scale, "scale=%d:%d,format=nv12", (int)gOpt.width, (int)gOpt.height);
  snprintf(a->video_url, sizeof a->video_url, "tcp://127.0.0.1:%d?tcp_nodelay=1", (int)video_port);
  // The audio texts are formatted even without audio so the record is always
  // complete; the vector simply does not refer to them then.
  snprintf(a->audio_url, sizeof a->audio_url, "tcp://127.0.0.1:%d?tcp_nodelay=1", (int)audio_port);
  snprintf(a->audio_rate, sizeof a->audio_rate, "%d", (int)kAudioRate);

  const char* const video[kDecoderArgsWithoutAudio] = {
      gOpt.ffmpeg,   "-hide_banner",      "-nostdin",  "-loglevel", "warning",
      "-rtsp_transport", "tcp",           "-fflags",   "nobuffer",  "-flags",
      "low_delay",   "-probesize",        "2000000",   "-analyzeduration", "3000000",
      "-i",          gOpt.input,          "-map",      "0:v:0",     "-vf",
      a->scale,      "-fps_mode",         "passthrough", "-enc_time_base:v", "1:90000",
      "-f",          "rawvideo",          a->video_url};
  const char* const audio[kDecoderArgsWithAudio - kDecoderArgsWithoutAudio] = {
      "-map", "0:a:0", "-af", "aresample=async=1", "-ac", "2",
      "-ar",  a->audio_rate, "-f", "f32le", a->audio_url};

  int n = 0;
  for (const char* e : video) a->argv[n++] = e;
  if (gOpt.audio) {
    for (const char* e : audio) a->argv[n++] = e;
  }
  a->argv[n] = nullptr;
  a->argc = n;
}
