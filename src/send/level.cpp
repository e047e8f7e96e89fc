#include "level.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <mutex>

static std::mutex gLevelLock;
static float gPeaks[kLevelChannels];  // under gLevelLock
static bool gAnyBlock = false;        // under gLevelLock

void level_add_block(const float* interleaved, int32_t frames, int32_t channels) {
  if (frames <= 0 || channels <= 0) return;
  float block_peaks[kLevelChannels] = {0.0f, 0.0f};
  const int32_t metered = channels < kLevelChannels ? channels : kLevelChannels;
  for (int32_t k = 0; k < metered; ++k) {
    float peak = 0.0f;
    const float* in = interleaved + k;
    // A NaN compares false and is passed over; an infinity is kept and
    // clamped when turned into decibels.
    for (int32_t i = 0; i < frames; ++i) {
      float v = std::fabs(in[(size_t)i * (size_t)channels]);
      if (v > peak) peak = v;
    }
    block_peaks[k] = peak;
  }
  std::lock_guard<std::mutex> hold(gLevelLock);
  for (int k = 0; k < kLevelChannels; ++k)
    if (block_peaks[k] > gPeaks[k]) gPeaks[k] = block_peaks[k];
  gAnyBlock = true;
}

bool level_take(float peaks[kLevelChannels]) {
  std::lock_guard<std::mutex> hold(gLevelLock);
  bool any = gAnyBlock;
  for (int k = 0; k < kLevelChannels; ++k) {
    peaks[k] = gPeaks[k];
    gPeaks[k] = 0.0f;
  }
  gAnyBlock = false;
  return any;
}

double level_dbfs(float peak) {
  if (!(peak > 0.0f)) return -100.0;
  if (peak > FLT_MAX) peak = FLT_MAX;
  double db = 20.0 * std::log10((double)peak);
  if (db <= -100.0) return -100.0;
  // Rounded here as printf will, so that a value just below zero does not
  // print as -0.0.
  double tenths = std::round(db * 10.0) / 10.0;
  return tenths == 0.0 ? 0.0 : tenths;
}

void level_json(char* out, size_t size, bool any, const float peaks[kLevelChannels]) {
  if (!any) {
    snprintf(out, size, "null");
    return;
  }
  snprintf(out, size, "[%.1f,%.1f]", level_dbfs(peaks[0]), level_dbfs(peaks[1]));
}
