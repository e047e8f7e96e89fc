// The stand-in runtime's own switches that the module's cases do not already
// cover: the picture preview, the audio dump, the send delay and counting only (used by the
// whole-process tests and the demo).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "ndi_test_support.h"
#include "qor_ndi.h"
#include "qor_ndi_internal.h"

using namespace ndi_test;

namespace {

std::vector<uint8_t> flat_picture(int w, int h, uint8_t luma) {
  std::vector<uint8_t> p(static_cast<size_t>(w) * h * 3 / 2, 128);
  std::fill(p.begin(), p.begin() + static_cast<size_t>(w) * h, luma);
  return p;
}

class NdiStandin : public testing::Test {
 protected:
  void SetUp() override {
    qor_ndi_reset_for_tests();
    record_ = test_file(".record");
    clear_standin_switches(env_, record_);
    env_.set("NDI_RUNTIME_DIR_V6", standin_dir());
  }
  void TearDown() override {
    qor_ndi_sender_destroy(sender_);
    qor_ndi_reset_for_tests();
  }
  void start() {
    const char* message = qor_ndi_load();
    ASSERT_EQ(message, nullptr) << message;
    sender_ = qor_ndi_sender_create("Preview");
    ASSERT_NE(sender_, nullptr);
  }
  ScopedEnv env_;
  std::string record_;
  qor_ndi_sender* sender_ = nullptr;
};

}  // namespace

TEST_F(NdiStandin, PreviewHoldsTheFirstAndEveryNthPictureAsPpm) {
  const std::string preview = test_file(".ppm");
  env_.set("QOR_STANDIN_PREVIEW", preview);
  env_.set("QOR_STANDIN_PREVIEW_EVERY", "2");
  ASSERT_NO_FATAL_FAILURE(start());
  const int w = 64, h = 48;
  const std::string header = "P6\n64 48\n255\n";
  const size_t size = header.size() + static_cast<size_t>(w) * h * 3;

  std::vector<uint8_t> white = flat_picture(w, h, 235), black = flat_picture(w, h, 16),
                       grey = flat_picture(w, h, 126);
  qor_ndi_send_video_nv12(sender_, white.data(), w, h, 30, 1);  // 1st: written
  qor_ndi_send_video_nv12(sender_, black.data(), w, h, 30, 1);  // 2nd: skipped
  std::string ppm = read_file(preview);
  ASSERT_EQ(ppm.size(), size);
  EXPECT_EQ(ppm.substr(0, header.size()), header);
  EXPECT_EQ(ppm.substr(header.size(), 3), "\xFF\xFF\xFF");
  EXPECT_EQ(ppm.substr(size - 3), "\xFF\xFF\xFF");

  qor_ndi_send_video_nv12(sender_, grey.data(), w, h, 30, 1);  // 3rd: written
  ppm = read_file(preview);
  ASSERT_EQ(ppm.size(), size);
  EXPECT_EQ(ppm.substr(size - 3), "\x80\x80\x80");
}

TEST_F(NdiStandin, VideoDelayHoldsEachSendCall) {
  env_.set("QOR_STANDIN_VIDEO_DELAY_MS", "60");
  ASSERT_NO_FATAL_FAILURE(start());
  std::vector<uint8_t> picture = flat_picture(16, 8, 100);
  const auto begin = std::chrono::steady_clock::now();
  qor_ndi_send_video_nv12(sender_, picture.data(), 16, 8, 30, 1);
  qor_ndi_send_video_nv12(sender_, picture.data(), 16, 8, 30, 1);
  const auto elapsed = std::chrono::steady_clock::now() - begin;
  EXPECT_GE(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count(), 120);
}

TEST_F(NdiStandin, AudioDumpHoldsEachFramesPlanesInOrder) {
  const std::string dump = test_file(".f32");
  env_.set("QOR_STANDIN_AUDIO_DUMP", dump);
  ASSERT_NO_FATAL_FAILURE(start());
  // Two blocks of 3 samples x 2 channels, interleaved.
  const float first[] = {1, -1, 2, -2, 3, -3};
  const float second[] = {4, -4, 5, -5, 6, -6};
  qor_ndi_send_audio_interleaved(sender_, first, 3, 2, 48000);
  qor_ndi_send_audio_interleaved(sender_, second, 3, 2, 48000);
  const float expected[] = {1, 2, 3, -1, -2, -3, 4, 5, 6, -4, -5, -6};
  std::string bytes = read_file(dump);
  ASSERT_EQ(bytes.size(), sizeof expected);
  EXPECT_EQ(memcmp(bytes.data(), expected, sizeof expected), 0);
}

TEST_F(NdiStandin, CountOnlyRecordsNoSendsButCountsThemAtDestroy) {
  env_.set("QOR_STANDIN_COUNT_ONLY", "1");
  ASSERT_NO_FATAL_FAILURE(start());
  std::vector<uint8_t> picture = flat_picture(16, 8, 16);
  std::vector<float> audio(480 * 2, 0.25f);
  for (int i = 0; i < 3; ++i) qor_ndi_send_video_nv12(sender_, picture.data(), 16, 8, 30, 1);
  for (int i = 0; i < 2; ++i) qor_ndi_send_audio_interleaved(sender_, audio.data(), 480, 2, 48000);
  qor_ndi_sender_destroy(sender_);
  sender_ = nullptr;
  std::vector<RecordLine> all = read_record(record_);
  EXPECT_TRUE(lines_of(all, "video").empty());
  EXPECT_TRUE(lines_of(all, "audio").empty());
  std::vector<RecordLine> destroys = lines_of(all, "send_destroy");
  ASSERT_EQ(destroys.size(), 1u);
  EXPECT_EQ(destroys[0].num("videos"), 3);
  EXPECT_EQ(destroys[0].num("audios"), 2);
}
