// The monitor's parts on their own: the audio level of a known tone, and the
// picture's sampling and size for pictures of every shape.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <string>
#include <vector>

#include "level.h"
#include "thumbnail.h"

namespace {

std::string level_text(bool any, const float peaks[kLevelChannels]) {
  char buf[64];
  level_json(buf, sizeof buf, any, peaks);
  return buf;
}

TEST(Level, ToneReadsItsPeakPerChannel) {
  // 997 Hz (its peaks fall between samples) at -6 dBFS left, -12 right, in
  // the pump's blocks of 480 interleaved frames.
  const double kPi = 3.14159265358979323846;
  const double left = std::pow(10.0, -6.0 / 20.0), right = std::pow(10.0, -12.0 / 20.0);
  std::vector<float> block(480 * 2);
  for (int b = 0; b < 100; ++b) {
    for (int k = 0; k < 480; ++k) {
      double s = std::sin(2.0 * kPi * 997.0 * (b * 480 + k) / 48000.0);
      block[2 * k] = (float)(left * s);
      block[2 * k + 1] = (float)(right * s);
    }
    level_add_block(block.data(), 480, 2);
  }
  float peaks[kLevelChannels];
  ASSERT_TRUE(level_take(peaks));
  EXPECT_NEAR(level_dbfs(peaks[0]), -6.0, 0.2);
  EXPECT_NEAR(level_dbfs(peaks[1]), -12.0, 0.2);
  EXPECT_EQ(level_text(true, peaks), "[-6.0,-12.0]");
  // Taking starts the next interval: nothing arrived since.
  EXPECT_FALSE(level_take(peaks));
  EXPECT_EQ(level_text(false, peaks), "null");

  std::vector<float> quiet(480 * 2, 0.0f);
  quiet[2] = 1e-6f;      // -120 dBFS: below the floor
  quiet[3] = 0.9955f;    // -0.04 dBFS: rounds to 0.0, not -0.0
  level_add_block(quiet.data(), 480, 2);
  ASSERT_TRUE(level_take(peaks));
  EXPECT_EQ(level_text(true, peaks), "[-100.0,0.0]");
}

TEST(Thumbnail, EveryShapeFitsAndIsSampledInsideThePicture) {
  // Each picture is allocated to its exact size, so a read past it fails
  // under the address sanitizer.
  const int sizes[][2] = {{1920, 1080}, {3840, 2160}, {1280, 720}, {720, 576}, {480, 360},
                          {64, 36},     {2, 2},       {1000, 2},   {2, 1000},  {1922, 1082}};
  for (const auto& size : sizes) {
    const int w = size[0], h = size[1];
    ThumbLayout l;
    ASSERT_TRUE(thumb_layout(w, h, &l)) << w << "x" << h;
    EXPECT_LE(l.out_w, 320) << w << "x" << h;
    EXPECT_LE(l.out_h, 180) << w << "x" << h;
    EXPECT_TRUE(l.out_w == 320 || l.out_h == 180 || (l.out_w == w && l.out_h == h)) << w << "x" << h;
    // The shape kept: one side exact, the other rounded to the nearest pixel
    // (and at least one).
    bool width_binds = std::fabs(l.out_h - (double)h * l.out_w / w) <= 0.5;
    bool height_binds = std::fabs(l.out_w - (double)w * l.out_h / h) <= 0.5;
    EXPECT_TRUE(width_binds || height_binds || l.out_w == 1 || l.out_h == 1) << w << "x" << h;
    EXPECT_LE(thumb_sample_bytes(l), 320u * 180u * 3 / 2 + 400) << w << "x" << h;
    EXPECT_LE(thumb_bmp_bytes(l), 200u * 1024) << w << "x" << h;
    std::vector<uint8_t> picture((size_t)w * h * 3 / 2, 0x80);
    std::vector<uint8_t> sample(thumb_sample_bytes(l)), bmp(thumb_bmp_bytes(l));
    thumb_sample(l, picture.data(), sample.data());
    thumb_bmp(l, sample.data(), bmp.data());
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');
  }
  ThumbLayout l;
  EXPECT_FALSE(thumb_layout(719, 576, &l));
  EXPECT_FALSE(thumb_layout(0, 576, &l));
}

}  // namespace
