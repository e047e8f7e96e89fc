// Audio blocks held until their picture has gone out. The sound of a frame
// reaches the tool tens of milliseconds before its picture (decoding and
// scaling a picture takes longer), and a receiver that plays by arrival would
// play it that much early. A block waits until the picture it belongs with has
// been sent, or kAudioHoldUs at most (pictures may stop), and blocks leave in
// the order they came. Pictures are never held for sound.
//
// The rule alone, on times the caller gives; the audio pump holds it under a
// lock and a sender thread of its own.
#pragma once
#include <cstdint>

#include "pumps.h"

enum : int64_t { kAudioHoldUs = 100000, kAudioBlockUs = 1000000LL * kAudioBlockSamples / kAudioRate };

struct AudioHold {
  enum { kBlocks = 32 };  // 320 ms: three times the bound
  float samples[kBlocks][kAudioBlockSamples * kAudioChannels];
  int64_t pts[kBlocks];       // the block's time, or kNoPts
  int64_t arrived[kBlocks];   // when it was received (steady clock, us)
  int first, count;
  // What has been sent of the pictures: the newest picture's time, and the
  // time between the last two (a frame period).
  int64_t picture_pts;  // kNoPts until a picture with a time went out
  int64_t picture_period;
  bool untimed_pictures;  // the pictures carry no times: nothing waits
};

// period_us: the frame period the pictures are announced with, until two have
// been sent.
void audio_hold_init(AudioHold* h, int64_t period_us);

bool audio_hold_full(const AudioHold* h);
// Copies a block in; the caller has checked that there is room.
void audio_hold_push(AudioHold* h, const float* block, int64_t pts, int64_t now);

// A picture of time pts (kNoPts: one without a time) has been sent.
void audio_hold_picture_sent(AudioHold* h, int64_t pts);

// Whether the oldest block may go now; when it may not, *wait_us is how long
// until its bound (there is always a block to ask about: count > 0).
bool audio_hold_due(const AudioHold* h, int64_t now, int64_t* wait_us);

// Copies the oldest block out and forgets it; returns its time.
int64_t audio_hold_pop(AudioHold* h, float* block);
