#include "audio_hold.h"

#include <cstring>

#include "frame_times.h"

void audio_hold_init(AudioHold* h, int64_t period_us) {
  h->first = h->count = 0;
  h->picture_pts = kNoPts;
  h->picture_period = period_us;
  h->untimed_pictures = false;
}

bool audio_hold_full(const AudioHold* h) { return h->count == AudioHold::kBlocks; }

void audio_hold_push(AudioHold* h, const float* block, int64_t pts, int64_t now) {
  int at = (h->first + h->count) % AudioHold::kBlocks;
  memcpy(h->samples[at], block, sizeof h->samples[at]);
  h->pts[at] = pts;
  h->arrived[at] = now;
  ++h->count;
}

// Periods outside these bounds are a jump in the timeline, not a frame rate.
enum : int64_t { kShortestPeriodUs = 1000, kLongestPeriodUs = 200000 };

void audio_hold_picture_sent(AudioHold* h, int64_t pts) {
  if (pts == kNoPts) {
    h->untimed_pictures = true;
    return;
  }
  h->untimed_pictures = false;
  if (h->picture_pts != kNoPts && pts > h->picture_pts) {
    int64_t period = pts - h->picture_pts;
    if (period >= kShortestPeriodUs && period <= kLongestPeriodUs) h->picture_period = period;
  }
  h->picture_pts = pts;
}

bool audio_hold_due(const AudioHold* h, int64_t now, int64_t* wait_us) {
  int64_t pts = h->pts[h->first];
  int64_t left = h->arrived[h->first] + kAudioHoldUs - now;
  *wait_us = left > 0 ? left : 0;
  if (left <= 0 || pts == kNoPts || h->untimed_pictures) return true;
  // A block goes with the picture its end falls in: one that straddles two
  // pictures waits for the later, so that sound is never ahead of its picture
  // (a block late by less than its length is the lesser fault). That picture
  // has been sent once one that ends at or after the block's end has.
  return h->picture_pts != kNoPts && h->picture_pts + h->picture_period >= pts + kAudioBlockUs;
}

int64_t audio_hold_pop(AudioHold* h, float* block) {
  int at = h->first;
  memcpy(block, h->samples[at], sizeof h->samples[at]);
  h->first = (h->first + 1) % AudioHold::kBlocks;
  --h->count;
  return h->pts[at];
}
