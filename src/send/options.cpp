#include "options.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

Options gOpt;

static const Options kDefaults = {nullptr, "QOR Program", nullptr, 1, 1920, 1080, 30, nullptr, 0};

// Reads a number the way atoi does (leading white space, an optional sign,
// digits up to the first non-digit; no digits gives 0). Text whose value does
// not fit a signed 32-bit integer, which atoi leaves undefined, gives 0 too:
// every number option must be positive, so validation rejects it.
static int32_t read_number(const char* text) {
  const char* p = text;
  while (*p == ' ' || (*p >= '\t' && *p <= '\r')) p++;
  bool negative = false;
  if (*p == '+' || *p == '-') negative = (*p++ == '-');
  const int64_t bound = negative ? 2147483648LL : 2147483647LL;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; p++) {
    value = value * 10 + (*p - '0');
    if (value > bound) return 0;
  }
  return (int32_t)(negative ? -value : value);
}

bool parse_options(int argc, char** argv) {
  gOpt = kDefaults;
  for (int i = 1; i < argc;) {
    const char* arg = argv[i];
    if (i + 1 < argc) {
      const char* value = argv[i + 1];
      bool matched = true;
      if (strcmp(arg, "--input") == 0) gOpt.input = value;
      else if (strcmp(arg, "--name") == 0) gOpt.name = value;
      else if (strcmp(arg, "--ffmpeg") == 0) gOpt.ffmpeg = value;
      else if (strcmp(arg, "--width") == 0) gOpt.width = read_number(value);
      else if (strcmp(arg, "--height") == 0) gOpt.height = read_number(value);
      else if (strcmp(arg, "--fps") == 0) gOpt.fps = read_number(value);
      else if (strcmp(arg, "--monitor") == 0) gOpt.monitor = value;
      else matched = false;
      if (matched) {
        i += 2;
        continue;
      }
    }
    if (strcmp(arg, "--no-audio") == 0) gOpt.audio = 0;
    else if (strcmp(arg, "--ptz") == 0) gOpt.ptz = 1;
    else return false;
    i += 1;
  }
  if (!gOpt.input) return false;
  if (gOpt.width <= 0) return false;
  if (gOpt.height <= 0) return false;
  if ((gOpt.width | gOpt.height) & 1) return false;
  if (gOpt.fps <= 0) return false;
  if (!gOpt.ffmpeg) {
    const char* env = getenv("FFMPEG_BIN");
    gOpt.ffmpeg = env ? env : "ffmpeg";
  }
  return true;
}

void usage() {
  fputs("usage: qor-ndi-send --input <rtsp-url> [--name <ndi-name>] [--ffmpeg <path>] [--no-audio] "
        "[--width 1920] [--height 1080] [--fps 30] [--monitor <file>] [--ptz]\n",
        stderr);
}
