// The decoder's argument vector, built from gOpt and the two listener ports.
#pragma once
#include <cstdint>

enum { kDecoderArgsWithAudio = 39, kDecoderArgsWithoutAudio = 28 };

struct DecoderArgs {
  char scale[64];       // "scale=W:H,format=nv12"
  char video_url[64];   // "tcp://127.0.0.1:P?tcp_nodelay=1"
  char audio_url[64];
  char audio_rate[16];  // "48000"
  const char* argv[kDecoderArgsWithAudio + 1];  // null-terminated
  int argc;
};

// Fills a from gOpt; argv points into a and into gOpt, so a must outlive its use.
void build_decoder_args(DecoderArgs* a, int32_t video_port, int32_t audio_port);
