// The decoder's argument vector, built from gOpt and the listeners' ports: the
// raw pictures and sound, and the two channels of their times.
#pragma once
#include <cstdint>

enum { kDecoderArgsWithAudio = 39, kDecoderArgsWithoutAudio = 28 };

struct DecoderArgs {
  char video_filters[256];  // "scale=W:H,format=nv12," and the frame times to their channel
  char video_url[64];   // "tcp://127.0.0.1:P?tcp_nodelay=1"
  char audio_url[64];
  char audio_filters[256];  // the resampling to 480-sample blocks, and their times
  char audio_rate[16];  // "48000"
  const char* argv[kDecoderArgsWithAudio + 1];  // null-terminated
  int argc;
};

// Fills a from gOpt; argv points into a and into gOpt, so a must outlive its use.
void build_decoder_args(DecoderArgs* a, int32_t video_port, int32_t audio_port, int32_t video_times_port,
                        int32_t audio_times_port);
