// The decoder's argument vector: element by element, and as the decoder itself
// receives it when started the way the tool starts it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "decoder_cmdline.h"
#include "decoder_test_util.h"
#include "options.h"
#include "process.h"

namespace {

std::vector<std::string> video_part(const std::string& ffmpeg, const std::string& input, const std::string& scale,
                                    const std::string& video_url) {
  return {ffmpeg,         "-hide_banner",     "-nostdin",    "-loglevel",        "warning",
          "-rtsp_transport", "tcp",           "-fflags",     "nobuffer",         "-flags",
          "low_delay",    "-probesize",       "2000000",     "-analyzeduration", "3000000",
          "-i",           input,              "-map",        "0:v:0",            "-vf",
          scale,          "-fps_mode",        "passthrough", "-enc_time_base:v", "1:90000",
          "-f",           "rawvideo",         video_url};
}

std::vector<std::string> audio_part(const std::string& filters, const std::string& audio_url) {
  return {"-map", "0:a:0", "-af", filters, "-ac", "2", "-ar", "48000", "-f", "f32le", audio_url};
}

// The filters' colons in the times' URL are escaped once for the chain and once
// for the option: ffmpeg itself is given "tcp\\://127.0.0.1\\:P".
std::string times_filters(const std::string& prefix, int port) {
  return "," + prefix + "metadata=mode=add:key=q:value=1," + prefix +
         "metadata=mode=print:direct=1:file=tcp\\\\://127.0.0.1\\\\:" + std::to_string(port) + "?tcp_nodelay=1";
}

std::vector<std::string> as_strings(const DecoderArgs& a) {
  std::vector<std::string> v;
  for (int i = 0; i < a.argc; ++i) v.push_back(a.argv[i]);
  return v;
}

void set_options(const char* ffmpeg, const char* input, int32_t audio, int32_t width, int32_t height) {
  gOpt.ffmpeg = ffmpeg;
  gOpt.input = input;
  gOpt.name = "Stage";
  gOpt.audio = audio;
  gOpt.width = width;
  gOpt.height = height;
  gOpt.fps = 25;  // never passed to the decoder
}

TEST(DecoderArgs, WithAudioIsTheFull39ElementVector) {
  set_options("ffmpeg", "rtsp://cam/stream", 1, 1280, 720);
  DecoderArgs a;
  build_decoder_args(&a, 50001, 50002, 50003, 50004);
  std::vector<std::string> want =
      video_part("ffmpeg", "rtsp://cam/stream", "scale=1280:720,format=nv12,settb=AVTB" + times_filters("", 50003),
                 "tcp://127.0.0.1:50001?tcp_nodelay=1");
  for (const std::string& s :
       audio_part("aresample=async=1:osr=48000:ochl=stereo,asetnsamples=n=480:p=0,asettb=AVTB" + times_filters("a", 50004),
                  "tcp://127.0.0.1:50002?tcp_nodelay=1"))
    want.push_back(s);
  ASSERT_EQ(a.argc, 39);
  EXPECT_EQ(as_strings(a), want);
  EXPECT_EQ(a.argv[39], nullptr);
  // Elements that are the caller's own texts are passed, not copied.
  EXPECT_EQ(a.argv[0], gOpt.ffmpeg);
  EXPECT_EQ(a.argv[16], gOpt.input);
}

TEST(DecoderArgs, WithoutAudioStopsAfterTheVideoUrlButStillFormatsTheAudioTexts) {
  set_options("/opt/ff/ffmpeg", "http://not-rtsp/x", 0, 1920, 1080);
  DecoderArgs a;
  build_decoder_args(&a, 65535, 1, 65534, 2);
  ASSERT_EQ(a.argc, 28);
  EXPECT_EQ(as_strings(a), video_part("/opt/ff/ffmpeg", "http://not-rtsp/x",
                                      "scale=1920:1080,format=nv12,settb=AVTB" + times_filters("", 65534),
                                      "tcp://127.0.0.1:65535?tcp_nodelay=1"));
  EXPECT_EQ(a.argv[28], nullptr);
  EXPECT_STREQ(a.audio_url, "tcp://127.0.0.1:1?tcp_nodelay=1");
  EXPECT_STREQ(a.audio_rate, "48000");
}

// The vector as the decoder sees it, through the real start on this platform
// (on Windows: joined into one line and split again by the decoder's runtime).
void expect_decoder_receives_vector(int32_t audio) {
  std::string record = scratch_path(".rec");
  std::string input = fake_url("noconnect=1", record);
  set_options(QOR_FAKE_DECODER, input.c_str(), audio, 640, 360);
  DecoderArgs a;
  build_decoder_args(&a, 40000, 40001, 40002, 40003);
  ASSERT_TRUE(start_child(a.argv));
  EXPECT_EQ(wait_child(), 0u);
  FakeRecord r = read_record(record);
  ASSERT_TRUE(r.complete);
  EXPECT_EQ(r.args, as_strings(a));
  EXPECT_EQ(r.args.size(), audio ? 39u : 28u);
}

TEST(DecoderArgs, DecoderReceivesTheVectorWithAudio) { expect_decoder_receives_vector(1); }

TEST(DecoderArgs, DecoderReceivesTheVectorWithoutAudio) { expect_decoder_receives_vector(0); }

}  // namespace
