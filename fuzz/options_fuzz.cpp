// Fuzzes the settings walk and its validation (parse_options).
//
// The first input byte picks one of two shapes:
//  - even: the rest is split on NUL bytes into an argument vector (at most
//    kMaxArgs elements after the program name), so the walk sees any order of
//    options, values and stray words;
//  - odd: the next byte picks one of --width, --height and --fps, and the text
//    after it (up to a NUL) becomes that option's value in an otherwise valid
//    command line; acceptance and the parsed number are compared with strtol's
//    reading of the same text.
// Each argument lives in its own heap block of exactly its size, so a read past
// its terminator is caught by AddressSanitizer.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "options.h"

enum { kMaxArgs = 64 };

static void fail(const char* what) {
  fprintf(stderr, "options_fuzz: %s\n", what);
  abort();
}

static char* copy_text(const uint8_t* p, size_t n) {
  char* s = (char*)malloc(n + 1);
  memcpy(s, p, n);
  s[n] = '\0';
  return s;
}

// Splits data on NUL bytes into at most max pieces; a piece past the cap is dropped.
static std::vector<char*> split_pieces(const uint8_t* data, size_t size, size_t max) {
  std::vector<char*> pieces;
  size_t start = 0;
  for (size_t i = 0; i <= size && pieces.size() < max; i++) {
    if (i == size || data[i] == 0) {
      pieces.push_back(copy_text(data + start, i - start));
      start = i + 1;
    }
  }
  return pieces;
}

static void free_all(std::vector<char*>& v) {
  for (char* p : v) free(p);
  v.clear();
}

static bool same_options(const Options& a, const Options& b) {
  return a.input == b.input && a.name == b.name && a.ffmpeg == b.ffmpeg && a.audio == b.audio &&
         a.width == b.width && a.height == b.height && a.fps == b.fps && a.monitor == b.monitor &&
         a.ptz == b.ptz;
}

// True when p is the element right after an occurrence of option in argv: the
// text fields must point at the value that was given, not at a copy.
static bool value_of(const char* p, const char* option, char** argv, int argc) {
  for (int i = 2; i < argc; i++)
    if (argv[i] == p && strcmp(argv[i - 1], option) == 0) return true;
  return false;
}

// A vector that sets every field away from its default: parsed before the
// second walk over the fuzz input, it shows up any state the reset misses.
static void parse_other_settings() {
  static char a0[] = "qor-ndi-send", a1[] = "--no-audio", a2[] = "--input", a3[] = "rtsp://other",
              a4[] = "--name", a5[] = "other", a6[] = "--ffmpeg", a7[] = "/opt/other", a8[] = "--width",
              a9[] = "2", a10[] = "--height", a11[] = "4", a12[] = "--fps", a13[] = "1",
              a14[] = "--monitor", a15[] = "/run/other.bmp", a16[] = "--ptz";
  char* argv[] = {a0, a1, a2, a3, a4, a5, a6, a7, a8, a9, a10, a11, a12, a13, a14, a15, a16, nullptr};
  if (!parse_options(17, argv)) fail("a valid fixed command line was refused");
}

static void check_success(char** argv, int argc) {
  const Options& o = gOpt;
  if (!o.input) fail("accepted without an input");
  if (!value_of(o.input, "--input", argv, argc)) fail("input does not point at a value given after --input");
  if (!o.name) fail("name is null");
  if (!value_of(o.name, "--name", argv, argc) && strcmp(o.name, "QOR Program") != 0)
    fail("name is neither a value given after --name nor the default");
  if (!o.ffmpeg) fail("ffmpeg is null");
  const char* env = getenv("FFMPEG_BIN");
  if (!value_of(o.ffmpeg, "--ffmpeg", argv, argc) && o.ffmpeg != env && strcmp(o.ffmpeg, "ffmpeg") != 0)
    fail("ffmpeg is neither a value given after --ffmpeg, FFMPEG_BIN nor the default");
  if (o.monitor && !value_of(o.monitor, "--monitor", argv, argc))
    fail("monitor does not point at a value given after --monitor");
  if (o.width <= 0 || o.height <= 0 || o.fps <= 0) fail("accepted a size or rate that is not positive");
  if ((o.width & 1) || (o.height & 1)) fail("accepted an odd width or height");
  if (o.audio != 0 && o.audio != 1) fail("audio is neither 0 nor 1");
  if (o.audio == 0) {
    bool seen = false;
    for (int i = 1; i < argc; i++) seen = seen || strcmp(argv[i], "--no-audio") == 0;
    if (!seen) fail("audio turned off without --no-audio");
  }
  if (o.ptz != 0 && o.ptz != 1) fail("ptz is neither 0 nor 1");
  if (o.ptz == 1) {
    bool seen = false;
    for (int i = 1; i < argc; i++) seen = seen || strcmp(argv[i], "--ptz") == 0;
    if (!seen) fail("ptz turned on without --ptz");
  }
}

// Walks the vector twice, with another parse in between: the outcome must not
// depend on what an earlier call left in gOpt.
static void walk(std::vector<char*>& args) {
  int argc = (int)args.size();
  args.push_back(nullptr);
  char** argv = args.data();
  bool ok = parse_options(argc, argv);
  Options first = gOpt;
  if (ok) check_success(argv, argc);
  parse_other_settings();
  if (parse_options(argc, argv) != ok) fail("the same vector parsed differently on a second call");
  if (ok && !same_options(first, gOpt)) fail("the same vector gave different settings on a second call");
  args.pop_back();
}

// What a number value should give: its strtol reading when that fits 32 bits, else 0.
static int32_t expected_number(const char* text) {
  errno = 0;
  long long v = strtoll(text, nullptr, 10);
  if (errno == ERANGE || v > INT32_MAX || v < INT32_MIN) return 0;
  return (int32_t)v;
}

// One number option gets the fuzzed value, the other two valid ones, so that
// acceptance hangs on that value alone.
static void numbers(const uint8_t* data, size_t size) {
  static const char* const kNumberOptions[] = {"--width", "--height", "--fps"};
  static const char* const kValid[] = {"1920", "1080", "30"};
  int which = size ? data[0] % 3 : 0;
  const uint8_t* text = size ? data + 1 : data;
  size_t len = size ? size - 1 : 0;
  const uint8_t* nul = (const uint8_t*)memchr(text, 0, len);
  if (nul) len = (size_t)(nul - text);
  std::vector<char*> args = {copy_text((const uint8_t*)"qor-ndi-send", 12), copy_text((const uint8_t*)"--input", 7),
                             copy_text((const uint8_t*)"rtsp://cam/1", 12)};
  for (int k = 0; k < 3; k++) {
    args.push_back(copy_text((const uint8_t*)kNumberOptions[k], strlen(kNumberOptions[k])));
    args.push_back(k == which ? copy_text(text, len) : copy_text((const uint8_t*)kValid[k], strlen(kValid[k])));
  }
  int32_t v = expected_number(args[4 + 2 * which]);
  bool valid = v > 0 && (which == 2 || !(v & 1));
  int argc = (int)args.size();
  args.push_back(nullptr);
  bool ok = parse_options(argc, args.data());
  if (ok != valid) fail("acceptance of a number differs from its strtol reading");
  const int32_t got[] = {gOpt.width, gOpt.height, gOpt.fps};
  if (ok && got[which] != v) fail("a number differs from its strtol reading");
  args.pop_back();
  free_all(args);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  if (data[0] & 1) {
    numbers(data + 1, size - 1);
    return 0;
  }
  std::vector<char*> args = split_pieces(data + 1, size - 1, kMaxArgs);
  args.insert(args.begin(), copy_text((const uint8_t*)"qor-ndi-send", 12));
  walk(args);
  free_all(args);
  return 0;
}
