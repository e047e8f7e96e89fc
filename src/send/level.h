// The audio level shown beside the monitor picture: the peak of each channel
// over one status interval.
#pragma once
#include <cstddef>
#include <cstdint>

enum { kLevelChannels = 2 };

// Called by the audio pump with each block it sent (interleaved, channels
// samples per frame; channels beyond kLevelChannels are not metered). Takes a
// lock once per block, never per sample.
void level_add_block(const float* interleaved, int32_t frames, int32_t channels);

// The peaks (absolute sample values) since the last call, which starts the
// next interval. False when no block arrived in between.
bool level_take(float peaks[kLevelChannels]);

// A peak in dBFS, to one decimal: 20 log10(peak), -100.0 for silence and
// anything below it, never "-0.0".
double level_dbfs(float peak);

// The status line's level member value: "null" when no block arrived, else
// "[L,R]" in dBFS with one decimal each.
void level_json(char* out, size_t size, bool any, const float peaks[kLevelChannels]);
