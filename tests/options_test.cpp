#include "options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

namespace {

// Runs parse_options on the given arguments (the program name is added).
bool parse(std::vector<std::string> args) {
  static std::vector<std::string> keep;  // gOpt points into the arguments
  keep = args;
  keep.insert(keep.begin(), "qor-ndi-send");
  std::vector<char*> argv;
  for (auto& a : keep) argv.push_back(&a[0]);
  argv.push_back(nullptr);
  return parse_options((int)keep.size(), argv.data());
}

struct OptionsTest : ::testing::Test {
  void SetUp() override { unsetenv_ffmpeg(); }
  void TearDown() override { unsetenv_ffmpeg(); }
  static void unsetenv_ffmpeg() {
#ifdef _WIN32
    _putenv("FFMPEG_BIN=");
#else
    unsetenv("FFMPEG_BIN");
#endif
  }
  static void set_ffmpeg_env(const char* v) {
#ifdef _WIN32
    // An empty value cannot be set through the C runtime on Windows.
    _putenv_s("FFMPEG_BIN", v);
#else
    setenv("FFMPEG_BIN", v, 1);
#endif
  }
};

TEST_F(OptionsTest, InputAloneGivesTheDefaults) {
  ASSERT_TRUE(parse({"--input", "rtsp://h/s"}));
  EXPECT_STREQ(gOpt.input, "rtsp://h/s");
  EXPECT_STREQ(gOpt.name, "QOR Program");
  EXPECT_STREQ(gOpt.ffmpeg, "ffmpeg");
  EXPECT_EQ(gOpt.audio, 1);
  EXPECT_EQ(gOpt.width, 1920);
  EXPECT_EQ(gOpt.height, 1080);
  EXPECT_EQ(gOpt.fps, 30);
  EXPECT_EQ(gOpt.monitor, nullptr);
  EXPECT_EQ(gOpt.ptz, 0);
}

TEST_F(OptionsTest, EveryOptionSetsItsField) {
  ASSERT_TRUE(parse({"--name", "Stage", "--ffmpeg", "/opt/ff", "--width", "1280", "--height", "720", "--fps",
                     "25", "--no-audio", "--monitor", "/run/wall/stage.bmp", "--ptz", "--input", "rtsp://cam/1"}));
  EXPECT_STREQ(gOpt.monitor, "/run/wall/stage.bmp");
  EXPECT_EQ(gOpt.ptz, 1);
  EXPECT_STREQ(gOpt.input, "rtsp://cam/1");
  EXPECT_STREQ(gOpt.name, "Stage");
  EXPECT_STREQ(gOpt.ffmpeg, "/opt/ff");
  EXPECT_EQ(gOpt.audio, 0);
  EXPECT_EQ(gOpt.width, 1280);
  EXPECT_EQ(gOpt.height, 720);
  EXPECT_EQ(gOpt.fps, 25);
}

TEST_F(OptionsTest, ParsingStartsFromTheDefaultsEachTime) {
  ASSERT_TRUE(parse({"--input", "a", "--no-audio", "--width", "640"}));
  ASSERT_TRUE(parse({"--input", "b"}));
  EXPECT_EQ(gOpt.audio, 1);
  EXPECT_EQ(gOpt.width, 1920);
}

TEST_F(OptionsTest, ValuesAreTakenWhateverTheyLookLike) {
  // A value that starts with "--" is still a value.
  ASSERT_TRUE(parse({"--input", "--no-audio"}));
  EXPECT_STREQ(gOpt.input, "--no-audio");
  EXPECT_EQ(gOpt.audio, 1);
  ASSERT_TRUE(parse({"--input", "x", "--name", "--input"}));
  EXPECT_STREQ(gOpt.name, "--input");
  EXPECT_STREQ(gOpt.input, "x");
  // Empty texts are accepted.
  ASSERT_TRUE(parse({"--input", "", "--name", ""}));
  EXPECT_STREQ(gOpt.input, "");
  EXPECT_STREQ(gOpt.name, "");
}

TEST_F(OptionsTest, NoAudioMayStandAnywhereAndLaterValuesWin) {
  ASSERT_TRUE(parse({"--no-audio", "--input", "a"}));
  EXPECT_EQ(gOpt.audio, 0);
  ASSERT_TRUE(parse({"--input", "a", "--no-audio"}));
  EXPECT_EQ(gOpt.audio, 0);
  ASSERT_TRUE(parse({"--input", "a", "--input", "b", "--width", "2", "--width", "640"}));
  EXPECT_STREQ(gOpt.input, "b");
  EXPECT_EQ(gOpt.width, 640);
}

TEST_F(OptionsTest, NumbersAreReadLikeAtoi) {
  ASSERT_TRUE(parse({"--input", "a", "--fps", "29.97", "--height", "720p", "--width", " \t+1280"}));
  EXPECT_EQ(gOpt.fps, 29);
  EXPECT_EQ(gOpt.height, 720);
  EXPECT_EQ(gOpt.width, 1280);
  ASSERT_TRUE(parse({"--input", "a", "--width", "2147483646", "--fps", "2147483647"}));
  EXPECT_EQ(gOpt.width, 2147483646);
  EXPECT_EQ(gOpt.fps, 2147483647);
}

TEST_F(OptionsTest, RejectsUnusableArguments) {
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"--name", "x"},                       // no input
      {"--input"},                           // value-taking option last
      {"--input", "a", "--name"},
      {"--input", "a", "--fps"},
      {"--input", "a", "--monitor"},
      {"--input", "a", "-h"},
      {"--input", "a", "--help"},
      {"--input=a"},
      {"--inp", "a"},
      {"--INPUT", "a"},
      {"--input", "a", "--no-audio=1"},
      {"--input", "a", "--ptz=1"},
      {"--input", "a", "extra"},
      {"--input", "a", "--width", "719"},    // odd
      {"--input", "a", "--height", "1081"},
      {"--input", "a", "--width", "abc"},    // 0
      {"--input", "a", "--height", "0"},
      {"--input", "a", "--width", "-1920"},
      {"--input", "a", "--fps", "0"},
      {"--input", "a", "--fps", "-5"},
      {"--input", "a", "--fps", ".5"},
      // beyond the signed 32-bit range
      {"--input", "a", "--width", "2147483648"},
      {"--input", "a", "--fps", "99999999999999999999"},
      {"--input", "a", "--height", "4294967296"},
      {"--input", "a", "--width", "-2147483649"},
  };
  for (const auto& args : bad) {
    std::string joined;
    for (const auto& a : args) joined += "[" + a + "]";
    EXPECT_FALSE(parse(args)) << joined;
  }
}

TEST_F(OptionsTest, DecoderPathComesFromTheOptionThenTheEnvironment) {
  set_ffmpeg_env("/usr/local/bin/ffmpeg");
  ASSERT_TRUE(parse({"--input", "a"}));
  EXPECT_STREQ(gOpt.ffmpeg, "/usr/local/bin/ffmpeg");
  ASSERT_TRUE(parse({"--input", "a", "--ffmpeg", "mine"}));
  EXPECT_STREQ(gOpt.ffmpeg, "mine");
#ifndef _WIN32
  set_ffmpeg_env("");
  ASSERT_TRUE(parse({"--input", "a"}));
  EXPECT_STREQ(gOpt.ffmpeg, "");
#endif
}

TEST(Usage, IsTheOneLineOnStderr) {
  const std::string expected =
      "usage: qor-ndi-send --input <rtsp-url> [--name <ndi-name>] [--ffmpeg <path>] [--no-audio] "
      "[--width 1920] [--height 1080] [--fps 30] [--monitor <file>] [--ptz]\n";
  ASSERT_EQ(expected.size(), 159u);
  testing::internal::CaptureStdout();
  testing::internal::CaptureStderr();
  usage();
  std::string err = testing::internal::GetCapturedStderr();
  std::string out = testing::internal::GetCapturedStdout();
#ifdef _WIN32
  // stderr is in text mode: the reader may see CR LF.
  if (err.size() >= 2 && err.compare(err.size() - 2, 2, "\r\n") == 0) err.erase(err.size() - 2, 1);
#endif
  EXPECT_EQ(err, expected);
  EXPECT_EQ(out, "");
}

}  // namespace
