#include "check/camera_check.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <system_error>
#include <thread>

#include <nlohmann/json.hpp>

#include "check/check_reason.h"
#include "sources/tool_args.h"
#include "text/address.h"
#include "utc_text.h"
#include "sources/sources.h"
#include "child.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kProbeMost = 256 * 1024;     // ffprobe's JSON for a handful of streams is a few KiB
constexpr size_t kPictureMost = 1024 * 1024;  // a 320-wide JPEG is tens of KiB
constexpr size_t kTextMost = 16 * 1024;       // the decoder's messages

// Thread body: reads a child's pipe to its end, keeping the first `most` bytes.
void gather_thread(intptr_t from, size_t most, std::string* into) {
  char buf[8192];
  long n;
  while ((n = child_read(from, buf, sizeof buf)) > 0) {
    size_t room = most - std::min(most, into->size());
    into->append(buf, std::min(room, static_cast<size_t>(n)));
  }
  child_close_out(from);
}

struct Ran {
  bool started = false;
  bool timed_out = false;
  uint32_t code = 0;
  std::string out, err, why;
};

// Runs argv until it ends or until the deadline, when it is killed.
Ran run_until(const std::vector<std::string>& argv, Clock::time_point deadline, size_t out_most) {
  Ran ran;
  // Windows: ends with the supervisor. POSIX has no binding from a thread
  // other than the main one; the decoder's own I/O limit (see check_once)
  // ends one that a supervisor killed mid-check leaves behind.
  Child child;
  int error = 0;
  if (!child_spawn_apart(argv, false, &child, &error)) {
    ran.why = std::string("cannot start ") + argv[0] + ": " + child_error_text(error);
    return ran;
  }
  std::thread out, err;
  try {
    out = std::thread(gather_thread, child.out, out_most, &ran.out);
    child.out = -1;  // the reader's from here on
    err = std::thread(gather_thread, child.err, kTextMost, &ran.err);
    child.err = -1;
  } catch (const std::system_error& e) {
    // No thread to read it: the decoder must not run unheard.
    child_kill(&child);
    child_wait(&child);
    if (child.out != -1) child_close_out(child.out);
    if (child.err != -1) child_close_out(child.err);
    if (out.joinable()) out.join();
    ran.why = std::string("no thread to read ") + argv[0] + ": " + e.what();
    return ran;
  }
  ran.started = true;
  while (!child_poll(&child)) {
    if (Clock::now() >= deadline) {
      ran.timed_out = true;
      child_kill(&child);
      break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  ran.code = child_wait(&child);
  out.join();
  err.join();
  return ran;
}

double rate_of(const nlohmann::json& text) {
  if (!text.is_string()) return 0.0;
  const std::string& s = text.get_ref<const std::string&>();
  size_t slash = s.find('/');
  double num = std::atof(s.substr(0, slash).c_str());
  double den = slash == std::string::npos ? 1.0 : std::atof(s.substr(slash + 1).c_str());
  double rate = den > 0 && num > 0 ? num / den : 0.0;
  // "inf" or 1e308/1e-308 would be no number in the answer's JSON.
  return std::isfinite(rate) ? rate : 0.0;
}

std::string text_of(const nlohmann::json& o, const char* key) {
  return o.contains(key) && o[key].is_string() ? o[key].get<std::string>() : std::string();
}

int64_t number_of(const nlohmann::json& o, const char* key) {
  if (!o.contains(key)) return 0;
  const nlohmann::json& v = o[key];
  int64_t n = 0;
  if (v.is_number_integer()) n = v.get<int64_t>();
  // ffprobe writes sample_rate as text; strtoll, unlike atoll, is defined past the range.
  if (v.is_string()) n = std::strtoll(v.get_ref<const std::string&>().c_str(), nullptr, 10);
  return n > 0 ? n : 0;
}

std::string utc_now() {
  return utc_text(std::chrono::duration_cast<std::chrono::seconds>(
                      std::chrono::system_clock::now().time_since_epoch()).count());
}

CheckResult failed(const std::string& reason, const std::string& detail) {
  CheckResult r;
  r.reason = reason;
  r.message = check_words(reason);
  r.detail = detail;
  return r;
}

}  // namespace

bool check_read_probe(const std::string& json, bool audio, CheckResult* result) {
  // Hostile input: no exceptions, a depth the callback refuses past.
  auto shallow = [](int depth, nlohmann::json::parse_event_t, nlohmann::json&) { return depth <= 8; };
  nlohmann::json doc = nlohmann::json::parse(json, shallow, false);
  if (!doc.is_object() || !doc.contains("streams") || !doc["streams"].is_array()) return false;
  bool video = false;
  for (const nlohmann::json& s : doc["streams"]) {
    if (!s.is_object()) continue;
    std::string type = text_of(s, "codec_type");
    if (type == "video" && !video) {
      video = true;
      result->video_codec = text_of(s, "codec_name");
      result->width = number_of(s, "width");
      result->height = number_of(s, "height");
      result->fps = rate_of(s.contains("avg_frame_rate") ? s["avg_frame_rate"] : nlohmann::json());
      if (result->fps <= 0) result->fps = rate_of(s.contains("r_frame_rate") ? s["r_frame_rate"] : nlohmann::json());
    } else if (type == "audio" && audio && !result->has_audio) {
      result->has_audio = true;
      result->audio_codec = text_of(s, "codec_name");
      result->rate = number_of(s, "sample_rate");
      result->channels = number_of(s, "channels");
    }
  }
  return video;
}

std::string check_ffmpeg_of(const std::vector<std::string>& argv) {
  std::string given = tool_argv_ffmpeg(argv);
  if (!given.empty()) return given;
  const char* env = std::getenv("FFMPEG_BIN");
  return env && *env ? env : "ffmpeg";
}

CheckRequest check_request_of(const std::vector<std::string>& argv) {
  CheckRequest request;
  request.ffmpeg = check_ffmpeg_of(argv);
  request.input = tool_argv_input(argv);
  request.audio = tool_argv_audio(argv);
  return request;
}

namespace {

CheckResult check_once(const CheckRequest& request) {
  if (!is_rtsp_address(request.input)) return failed("not_rtsp", check_mask(request.input, request.input));
  Clock::time_point deadline =
      Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(request.seconds));
  // The transport the tool asks its decoder for (RTSP over TCP), and a limit
  // of the decoder's own for a socket that stays silent (microseconds).
  const std::vector<std::string> read = {"-rtsp_transport", "tcp", "-timeout", "10000000", "-i", request.input};
  std::vector<std::string> probe = {check_probe_program(request.ffmpeg), "-hide_banner", "-v", "error",
                                    "-show_entries",
                                    "stream=codec_type,codec_name,width,height,avg_frame_rate,r_frame_rate,"
                                    "sample_rate,channels",
                                    "-of", "json"};
  probe.insert(probe.end(), read.begin(), read.end());
  Ran ran = run_until(probe, deadline, kProbeMost);
  if (!ran.started) return failed("other", check_mask(ran.why, request.input));
  if (ran.timed_out || ran.code != 0) {
    return failed(check_reason(ran.err, ran.timed_out), check_detail(ran.err, request.input));
  }
  CheckResult result;
  if (!check_read_probe(ran.out, request.audio, &result)) {
    std::string detail = check_detail(ran.err, request.input);
    return failed("no_video", detail.empty() ? "no video stream among the streams ffprobe found" : detail);
  }
  result.ok = true;
  std::vector<std::string> picture = {request.ffmpeg, "-hide_banner", "-nostdin", "-loglevel", "error"};
  picture.insert(picture.end(), read.begin(), read.end());
  picture.insert(picture.end(), {"-map", "0:v:0", "-frames:v", "1", "-vf", "scale='min(320,iw)':-2", "-f",
                                 "image2pipe", "-c:v", "mjpeg", "-"});
  Ran shot = run_until(picture, deadline, kPictureMost);
  // A picture that did not come in time leaves the check good: the streams are there.
  if (shot.started && !shot.timed_out && shot.code == 0 && shot.out.size() < kPictureMost &&
      shot.out.compare(0, 2, "\xFF\xD8") == 0) {
    result.snapshot = std::move(shot.out);
  }
  return result;
}

}  // namespace

CheckResult camera_check(const CheckRequest& request) {
  CheckResult result = check_once(request);
  result.at = utc_now();
  return result;
}

CheckResult camera_check_asked(const CheckAsk& ask) {
  CheckRequest request;
  request.ffmpeg = check_ffmpeg_of({});
  request.input = compose_input(ask.input, ask.user, ask.password);
  request.audio = ask.audio;
  // camera_check masks the password in what it says, as written and decoded.
  return camera_check(request);
}
