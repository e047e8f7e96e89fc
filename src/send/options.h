// Run settings: the command line and FFMPEG_BIN turned into gOpt.
#pragma once
#include <cstdint>

struct Options {
  const char* input;   // source URL handed to the decoder after -i; null until given
  const char* name;    // NDI source name
  const char* ffmpeg;  // decoder executable, path or bare name
  int32_t audio;       // 1: audio carried, 0: --no-audio
  int32_t width;
  int32_t height;
  int32_t fps;         // rate announced to NDI, frames per second
  const char* monitor; // picture file kept for a monitor wall (--monitor); null: off
  int32_t ptz;         // 1: receivers' PTZ commands become ptz lines (--ptz), 0: off
};

// Written only by parse_options, before any thread starts; read-only afterwards.
extern Options gOpt;

// Resets gOpt to its defaults, walks argv, validates, and fills in the decoder
// path. The text fields point into argv or the environment; nothing is copied.
// Returns false on any usage error (the caller prints usage() and exits 64).
bool parse_options(int argc, char** argv);

// The one-line usage text on stderr.
void usage();
