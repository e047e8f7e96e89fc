// The NDI module in this process, against the stand-in runtime loaded from its
// directory: the candidate path, the calls before anything is loaded, and the
// sender (creation settings, every field of the video and audio frames, the
// audio scratch buffer, three threads at once).
#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <vector>

#include "dynlib.h"
#include "ndi_test_support.h"
#include "qor_ndi.h"
#include "qor_ndi_internal.h"

using namespace ndi_test;

// The failed-resize case asks the allocator for far more than exists; the
// sanitizers' allocators then return null as the C library's does.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
extern "C" const char* __tsan_default_options() { return "allocator_may_return_null=1"; }

namespace {

const int64_t kSynthesize = 0x7FFFFFFFFFFFFFFFll;

std::string hex32(uint32_t v) {
  char buf[16];
  snprintf(buf, sizeof buf, "0x%08X", v);
  return buf;
}

std::string hex64(uint64_t v) {
  char buf[24];
  snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(v));
  return buf;
}

std::vector<uint8_t> nv12_picture(int w, int h, uint8_t seed) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2);
  for (size_t i = 0; i < p.size(); ++i) p[i] = static_cast<uint8_t>(i * 31 + seed + (i >> 11));
  return p;
}

// L0 R0 L1 R1 ... with left = 1000 + s and right = -(2000 + s) (exact in float).
std::vector<float> stereo_block(int samples) {
  std::vector<float> v(static_cast<size_t>(samples) * 2);
  for (int s = 0; s < samples; ++s) {
    v[2 * s] = 1000.0f + s;
    v[2 * s + 1] = -(2000.0f + s);
  }
  return v;
}

// Loads the stand-in from its directory, with its record going to a file of
// this test's own; put back (unloaded) after the test.
class NdiModule : public testing::Test {
 protected:
  void SetUp() override {
    qor_ndi_reset_for_tests();
    record_path_ = test_file(".record");
    clear_standin_switches(env_, record_path_);
    env_.set("NDI_RUNTIME_DIR_V6", standin_dir());
  }
  void TearDown() override { qor_ndi_reset_for_tests(); }

  void load() {
    const char* message = qor_ndi_load();
    ASSERT_EQ(message, nullptr) << message;
  }
  std::vector<RecordLine> record() const { return read_record(record_path_); }
  std::vector<RecordLine> record(const char* event) const { return lines_of(record(), event); }

  ScopedEnv env_;
  std::string record_path_;
};

class NdiSender : public NdiModule {
 protected:
  void SetUp() override {
    NdiModule::SetUp();
    ASSERT_NO_FATAL_FAILURE(load());
    sender_ = qor_ndi_sender_create("Stage");
    ASSERT_NE(sender_, nullptr);
  }
  void TearDown() override {
    qor_ndi_sender_destroy(sender_);
    NdiModule::TearDown();
  }
  qor_ndi_sender* sender_ = nullptr;
};

}  // namespace

TEST(NdiCandidate, JoinsDirectorySeparatorAndFile) {
  char buf[kNdiCandidateSize];
  qor_ndi_dir_candidate(buf, "runtime-dir");
  EXPECT_EQ(std::string(buf), std::string("runtime-dir") + kPathSeparator + kNdiRuntimeFile);
#if defined(_WIN32)
  EXPECT_STREQ(kNdiRuntimeFile, "Processing.NDI.Lib.x64.dll");
  EXPECT_EQ(kPathSeparator, '\\');
#else
  EXPECT_STREQ(kNdiRuntimeFile, "libndi.so.6");
  EXPECT_EQ(kPathSeparator, '/');
#endif
}

TEST(NdiCandidate, EmptyDirectoryGivesSeparatorAndFile) {
  char buf[kNdiCandidateSize];
  qor_ndi_dir_candidate(buf, "");
  EXPECT_EQ(std::string(buf), std::string(1, kPathSeparator) + kNdiRuntimeFile);
}

TEST(NdiCandidate, LongerResultIsCutTo1023Bytes) {
  std::string dir(1100, 'd');
  char buf[kNdiCandidateSize];
  qor_ndi_dir_candidate(buf, dir.c_str());
  EXPECT_EQ(strlen(buf), 1023u);
  EXPECT_EQ(std::string(buf), dir.substr(0, 1023));

  std::string near(1023 - 3, 'n');  // room for the separator and two bytes of the name
  qor_ndi_dir_candidate(buf, near.c_str());
  EXPECT_EQ(std::string(buf), near + kPathSeparator + std::string(kNdiRuntimeFile).substr(0, 2));
}

TEST(NdiUnloaded, EveryCallIsNeutralBeforeALoad) {
  qor_ndi_reset_for_tests();
  EXPECT_EQ(qor_ndi_version(), nullptr);
  EXPECT_EQ(qor_ndi_sender_create("Stage"), nullptr);
  EXPECT_EQ(qor_ndi_sender_connections(nullptr), 0);
  std::vector<uint8_t> picture = nv12_picture(16, 8, 1);
  qor_ndi_send_video_nv12(nullptr, picture.data(), 16, 8, 30, 1);
  std::vector<float> block = stereo_block(4);
  qor_ndi_send_audio_interleaved(nullptr, block.data(), 4, 2, 48000);
  qor_ndi_sender_destroy(nullptr);
}

TEST_F(NdiModule, SecondLoadSucceedsAtOnce) {
  load();
  const NDIlib_v6* table = gNDI;
  load();
  EXPECT_EQ(gNDI, table);
  EXPECT_EQ(record("load").size(), 1u);
  EXPECT_EQ(record("initialize").size(), 1u);
}

TEST_F(NdiModule, VersionIsTheRuntimesTextItself) {
  load();
  const char* version = qor_ndi_version();
  ASSERT_NE(version, nullptr);
  EXPECT_STREQ(version, "6.0.0 QOR stand-in");
  EXPECT_EQ(version, gNDI->version());  // passed through, not copied
}

TEST_F(NdiModule, CreateAsksForANamedSourceWithDefaultGroupsAndNoClocking) {
  load();
  const char name[] = "Stage 2 \xC3\x9C=%(x)";  // UTF-8 bytes pass unchanged
  qor_ndi_sender* s = qor_ndi_sender_create(name);
  ASSERT_NE(s, nullptr);
  std::vector<RecordLine> creates = record("send_create");
  ASSERT_EQ(creates.size(), 1u);
  bool groups_null = false;
  EXPECT_EQ(decode_text(creates[0]["name"]), name);
  decode_text(creates[0]["groups"], &groups_null);
  EXPECT_TRUE(groups_null);
  EXPECT_EQ(creates[0]["clock_video"], "0");
  EXPECT_EQ(creates[0]["clock_audio"], "0");
  EXPECT_EQ(creates[0]["result"], "1");

  qor_ndi_sender_destroy(s);
  std::vector<RecordLine> destroys = record("send_destroy");
  ASSERT_EQ(destroys.size(), 1u);
  EXPECT_EQ(destroys[0]["inst"], "1");
}

TEST_F(NdiModule, CreateFailureGivesNoSender) {
  env_.set("QOR_STANDIN_CREATE_FAIL", "1");
  load();
  EXPECT_EQ(qor_ndi_sender_create("Stage"), nullptr);
  ASSERT_EQ(record("send_create").size(), 1u);
  EXPECT_EQ(record("send_create")[0]["result"], "(null)");
  EXPECT_TRUE(record("send_destroy").empty());
}

TEST_F(NdiModule, ConnectionsPollsTheRuntimeWithZeroWait) {
  env_.set("QOR_STANDIN_CONNECTIONS", "3");
  load();
  qor_ndi_sender* s = qor_ndi_sender_create("Stage");
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(qor_ndi_sender_connections(s), 3);
  EXPECT_EQ(qor_ndi_sender_connections(nullptr), 0);
  std::vector<RecordLine> queries = record("connections");
  ASSERT_EQ(queries.size(), 1u);
  EXPECT_EQ(queries[0]["inst"], "1");
  EXPECT_EQ(queries[0]["timeout"], "0");
  qor_ndi_sender_destroy(s);
}

TEST_F(NdiSender, DestroyingNoSenderDoesNothing) {
  qor_ndi_sender_destroy(nullptr);
  EXPECT_TRUE(record("send_destroy").empty());
}

TEST_F(NdiSender, VideoFrameCarriesEveryField) {
  const int w = 1920, h = 1080;
  std::vector<uint8_t> picture = nv12_picture(w, h, 7);
  qor_ndi_send_video_nv12(sender_, picture.data(), w, h, 30, 1);

  std::vector<RecordLine> frames = record("video");
  ASSERT_EQ(frames.size(), 1u);
  const RecordLine& f = frames[0];
  EXPECT_EQ(f["inst"], "1");
  EXPECT_EQ(f.num("xres"), 1920);
  EXPECT_EQ(f.num("yres"), 1080);
  EXPECT_EQ(f["fourcc"], "0x3231564E");
  EXPECT_EQ(f.num("rate_n"), 30);
  EXPECT_EQ(f.num("rate_d"), 1);
  EXPECT_EQ(f["aspect_bits"], hex32(float_bits(1.7777778f)));
  EXPECT_EQ(f["aspect_bits"], hex32(float_bits(static_cast<float>(1920) / static_cast<float>(1080))));
  EXPECT_EQ(f.num("format"), 1);
  EXPECT_EQ(f.num("timecode"), kSynthesize);
  EXPECT_EQ(f.hex("data"), reinterpret_cast<uintptr_t>(picture.data()));  // in place, no copy
  EXPECT_EQ(f.num("stride"), 1920);
  EXPECT_EQ(f["metadata"], "(null)");
  EXPECT_EQ(f.num("timestamp"), 0);
  EXPECT_EQ(f["fnv"], hex64(fnv1a64(picture.data(), picture.size())));
}

TEST_F(NdiSender, VideoAspectIsSinglePrecisionWidthOverHeight) {
  const int sizes[][2] = {{1280, 720}, {720, 576}, {1440, 1080}, {640, 360}, {2, 2}};
  std::vector<uint8_t> picture = nv12_picture(1440, 1080, 3);
  for (const auto& size : sizes)
    qor_ndi_send_video_nv12(sender_, picture.data(), size[0], size[1], 30000, 1001);
  std::vector<RecordLine> frames = record("video");
  ASSERT_EQ(frames.size(), 5u);
  for (size_t i = 0; i < 5; ++i) {
    const float expected = static_cast<float>(sizes[i][0]) / static_cast<float>(sizes[i][1]);
    EXPECT_EQ(frames[i]["aspect_bits"], hex32(float_bits(expected))) << sizes[i][0] << "x" << sizes[i][1];
    EXPECT_EQ(frames[i].num("stride"), sizes[i][0]);
    EXPECT_EQ(frames[i].num("rate_n"), 30000);
    EXPECT_EQ(frames[i].num("rate_d"), 1001);
    const size_t bytes = static_cast<size_t>(sizes[i][0]) * sizes[i][1] * 3 / 2;
    EXPECT_EQ(frames[i]["fnv"], hex64(fnv1a64(picture.data(), bytes)));
  }
}

TEST_F(NdiSender, AudioIsSentPlanarLeftThenRight) {
  const int n = 480;
  std::vector<float> block = stereo_block(n);
  qor_ndi_send_audio_interleaved(sender_, block.data(), n, 2, 48000);

  std::vector<float> left(n), right(n);
  for (int s = 0; s < n; ++s) {
    left[s] = 1000.0f + s;
    right[s] = -(2000.0f + s);
  }
  ASSERT_NE(sender_->planar, nullptr);
  EXPECT_EQ(memcmp(sender_->planar, left.data(), n * sizeof(float)), 0);
  EXPECT_EQ(memcmp(sender_->planar + n, right.data(), n * sizeof(float)), 0);

  std::vector<RecordLine> frames = record("audio");
  ASSERT_EQ(frames.size(), 1u);
  const RecordLine& f = frames[0];
  EXPECT_EQ(f["inst"], "1");
  EXPECT_EQ(f.num("rate"), 48000);
  EXPECT_EQ(f.num("channels"), 2);
  EXPECT_EQ(f.num("samples"), 480);
  EXPECT_EQ(f.num("timecode"), kSynthesize);
  EXPECT_EQ(f.hex("data"), reinterpret_cast<uintptr_t>(sender_->planar));
  EXPECT_EQ(f.num("stride"), 1920);
  EXPECT_EQ(f["metadata"], "(null)");
  EXPECT_EQ(f.num("timestamp"), 0);
  EXPECT_EQ(f["p0_first"], hex32(float_bits(1000.0f)));   // L0
  EXPECT_EQ(f["p0_last"], hex32(float_bits(1479.0f)));    // L479
  EXPECT_EQ(f["p1_first"], hex32(float_bits(-2000.0f)));  // R0
  EXPECT_EQ(f["p1_last"], hex32(float_bits(-2479.0f)));   // R479
  EXPECT_EQ(f["p0_fnv"], hex64(fnv1a64(left.data(), n * sizeof(float))));
  EXPECT_EQ(f["p1_fnv"], hex64(fnv1a64(right.data(), n * sizeof(float))));
}

TEST_F(NdiSender, AudioWithMoreChannelsGoesPlanarByTheSameRule) {
  const int samples = 5, channels = 3;
  std::vector<float> in(samples * channels);
  for (int s = 0; s < samples; ++s)
    for (int k = 0; k < channels; ++k) in[s * channels + k] = static_cast<float>(100 * k + s);
  qor_ndi_send_audio_interleaved(sender_, in.data(), samples, channels, 44100);
  for (int k = 0; k < channels; ++k)
    for (int s = 0; s < samples; ++s)
      EXPECT_EQ(sender_->planar[k * samples + s], static_cast<float>(100 * k + s)) << k << "," << s;
  std::vector<RecordLine> frames = record("audio");
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].num("channels"), 3);
  EXPECT_EQ(frames[0].num("samples"), 5);
  EXPECT_EQ(frames[0].num("rate"), 44100);
  EXPECT_EQ(frames[0].num("stride"), 20);
  EXPECT_EQ(frames[0]["p2_last"], hex32(float_bits(204.0f)));
}

TEST_F(NdiSender, AudioValuesAreCopiedBitForBit) {
  const uint32_t patterns[] = {0x00000000u, 0x80000000u /* -0 */, 0x00000001u /* denormal */,
                               0x7F800000u /* inf */, 0xFF800000u, 0x7FC12345u /* quiet NaN */,
                               0xFFC00001u, 0x7F800001u /* signalling NaN */, 0x3F800000u, 0xC2F60000u};
  const int n = 5;
  float in[2 * n];
  memcpy(in, patterns, sizeof in);
  qor_ndi_send_audio_interleaved(sender_, in, n, 2, 48000);
  for (int s = 0; s < n; ++s) {
    uint32_t left, right;
    memcpy(&left, &sender_->planar[s], 4);
    memcpy(&right, &sender_->planar[n + s], 4);
    EXPECT_EQ(left, patterns[2 * s]) << s;
    EXPECT_EQ(right, patterns[2 * s + 1]) << s;
  }
}

TEST_F(NdiSender, ZeroOrNegativeCountsSendAndAllocateNothing) {
  std::vector<float> block = stereo_block(480);
  const int32_t cases[][2] = {{0, 2}, {480, 0}, {0, 0}, {-1, 2}, {480, -2}, {INT32_MIN, INT32_MIN}};
  for (const auto& c : cases) qor_ndi_send_audio_interleaved(sender_, block.data(), c[0], c[1], 48000);
  EXPECT_EQ(sender_->planar, nullptr);
  EXPECT_EQ(sender_->planar_capacity, 0u);
  EXPECT_TRUE(record("audio").empty());
}

TEST_F(NdiSender, ScratchBufferGrowsOnceAndIsReused) {
  std::vector<float> block = stereo_block(960);
  qor_ndi_send_audio_interleaved(sender_, block.data(), 480, 2, 48000);
  float* first = sender_->planar;
  ASSERT_NE(first, nullptr);
  EXPECT_EQ(sender_->planar_capacity, 960u);
  for (int i = 0; i < 20; ++i) qor_ndi_send_audio_interleaved(sender_, block.data(), 480, 2, 48000);
  qor_ndi_send_audio_interleaved(sender_, block.data(), 100, 2, 48000);  // smaller: no shrink
  EXPECT_EQ(sender_->planar, first);
  EXPECT_EQ(sender_->planar_capacity, 960u);
  std::vector<RecordLine> frames = record("audio");
  ASSERT_EQ(frames.size(), 22u);
  for (const RecordLine& f : frames) EXPECT_EQ(f.hex("data"), reinterpret_cast<uintptr_t>(first));

  qor_ndi_send_audio_interleaved(sender_, block.data(), 960, 2, 48000);  // larger: grows
  EXPECT_EQ(sender_->planar_capacity, 1920u);
  EXPECT_EQ(sender_->planar[959], 1959.0f);
  EXPECT_EQ(sender_->planar[960], -2000.0f);
}

TEST_F(NdiSender, FailedResizeKeepsTheOldBufferAndSendsNothing) {
  std::vector<float> block = stereo_block(480);
  qor_ndi_send_audio_interleaved(sender_, block.data(), 480, 2, 48000);
  float* old = sender_->planar;
  ASSERT_NE(old, nullptr);

  // INT32_MAX x INT32_MAX floats: about 2^64 bytes, which no allocator gives.
  qor_ndi_send_audio_interleaved(sender_, block.data(), INT32_MAX, INT32_MAX, 48000);
  EXPECT_EQ(sender_->planar, old);
  EXPECT_EQ(sender_->planar_capacity, 960u);
  EXPECT_EQ(record("audio").size(), 1u);

  qor_ndi_send_audio_interleaved(sender_, block.data(), 480, 2, 48000);  // still usable
  EXPECT_EQ(sender_->planar, old);
  EXPECT_EQ(record("audio").size(), 2u);
}

TEST_F(NdiSender, VideoAudioAndReceiverCountFromThreeThreadsAtOnce) {
  const int kRounds = 200, w = 64, h = 48;
  std::vector<uint8_t> picture = nv12_picture(w, h, 9);
  std::vector<float> block = stereo_block(480);
  std::vector<int32_t> counts(kRounds, -1);

  std::thread video([&] {
    for (int i = 0; i < kRounds; ++i) qor_ndi_send_video_nv12(sender_, picture.data(), w, h, 30, 1);
  });
  std::thread audio([&] {
    for (int i = 0; i < kRounds; ++i) qor_ndi_send_audio_interleaved(sender_, block.data(), 480, 2, 48000);
  });
  std::thread status([&] {
    for (int i = 0; i < kRounds; ++i) counts[i] = qor_ndi_sender_connections(sender_);
  });
  video.join();
  audio.join();
  status.join();

  for (int32_t c : counts) EXPECT_EQ(c, 0);
  std::vector<RecordLine> all = record();
  std::vector<RecordLine> frames = lines_of(all, "video");
  std::vector<RecordLine> blocks = lines_of(all, "audio");
  EXPECT_EQ(frames.size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(blocks.size(), static_cast<size_t>(kRounds));
  EXPECT_EQ(lines_of(all, "connections").size(), static_cast<size_t>(kRounds));
  const std::string picture_fnv = hex64(fnv1a64(picture.data(), picture.size()));
  for (const RecordLine& f : frames) EXPECT_EQ(f["fnv"], picture_fnv);
  for (const RecordLine& b : blocks) {
    EXPECT_EQ(b["p0_first"], hex32(float_bits(1000.0f)));
    EXPECT_EQ(b["p1_last"], hex32(float_bits(-2479.0f)));
  }
  // Every line since the load whole: numbered 1, 2, ... without gaps.
  long long expected_n = 0;
  for (const RecordLine& line : all)
    if (line.event != "attach") {
      EXPECT_EQ(line.num("n"), ++expected_n) << line.event;
    }
  EXPECT_EQ(expected_n, 3 + 3 * kRounds);  // load, initialize, send_create and the calls
}
