// A camera check: ffprobe reads what the address serves, then ffmpeg takes one
// picture of it, both with the transport options the tool gives its decoder,
// within a limit for the whole, their output bounded (camera_check.cpp). It
// blocks its caller for up to that limit: run it on a thread of its own.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

struct CheckRequest {
  std::string ffmpeg = "ffmpeg";  // ffprobe is taken from beside it
  std::string input;              // with its user and password, if any
  bool audio = true;              // whether the audio is asked about
  double seconds = 10.0;          // for everything
};

struct CheckResult {
  bool ok = false;
  // When not ok: check_reason.h's reason, words for it and the decoder's own
  // message, none of them with the password.
  std::string reason, message, detail;
  // When ok.
  std::string video_codec;
  int64_t width = 0, height = 0;
  double fps = 0.0;
  bool has_audio = false;  // asked for, and the stream has some
  std::string audio_codec;
  int64_t rate = 0, channels = 0;
  std::string snapshot;  // a JPEG at most 320 pixels wide; empty when none came in time
  std::string at;        // when it ended: UTC, 2026-01-31T12:00:00Z
};

CheckResult camera_check(const CheckRequest& request);

// What the status page asks to check: an address, its user and password.
struct CheckAsk {
  std::string input, user, password;
  bool audio = true;
};

// A check the status page asks for: the address with the user and password
// composed into it, the ffmpeg of check_ffmpeg_of({}).
CheckResult camera_check_asked(const CheckAsk& ask);

// ffprobe's JSON (-show_streams) read into result: true with its video (and,
// when asked, audio) when it names a video stream. Any text is safe to give.
bool check_read_probe(const std::string& json, bool audio, CheckResult* result);

// The ffmpeg a source's tool is given: its --ffmpeg, else FFMPEG_BIN, else ffmpeg.
std::string check_ffmpeg_of(const std::vector<std::string>& argv);

// The input and the audio setting of a source's tool command line.
CheckRequest check_request_of(const std::vector<std::string>& argv);
