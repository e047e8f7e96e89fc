// Sound with its picture: the decoder's frame times as read, the timecodes
// made from them, and the rule that holds audio blocks for their picture, on
// times the test gives.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "audio_hold.h"
#include "frame_times.h"
#include "timeline.h"

namespace {

void feed(FrameTimes* t, const std::string& text) { frame_times_feed(t, text.data(), text.size()); }

TEST(FrameTimes, LinesInAnyPiecesAreTakenByFrameNumber) {
  FrameTimes t;
  frame_times_init(&t);
  EXPECT_EQ(frame_times_take(&t, 0), kNoPts);  // nothing read yet
  // As ffmpeg prints them (padded), split anywhere, with the key lines between.
  std::string text =
      "frame:7    pts:1000000 pts_time:1\nq=1\n"
      "frame:8    pts:1033333 pts_time:1.03333\nq=1\n"
      "frame:9    pts:NOPTS   pts_time:NOPTS\nq=1\n"
      "frame:11   pts:-20     pts_time:-2e-05\nq=1\n";
  for (char c : text) frame_times_feed(&t, &c, 1);
  // The first line printed is the channel's first frame, whatever its number.
  EXPECT_EQ(frame_times_take(&t, 0), 1000000);
  EXPECT_EQ(frame_times_take(&t, 1), 1033333);
  EXPECT_EQ(frame_times_take(&t, 2), kNoPts);  // printed without a time
  // Frame 10's line never came: its frame has no time, and it shifts no other.
  EXPECT_EQ(frame_times_take(&t, 3), kNoPts);
  EXPECT_EQ(frame_times_take(&t, 4), -20);
  EXPECT_EQ(frame_times_take(&t, 5), kNoPts);  // not read yet
  feed(&t, "frame:12 pts:5\n");
  EXPECT_EQ(frame_times_take(&t, 5), 5);
}

TEST(FrameTimes, MalformedAndOverlongLinesAreNoFrames) {
  FrameTimes t;
  frame_times_init(&t);
  feed(&t, "frame:0 pts:12x\nframe:-1 pts:5\nframe: pts:5\nframe:0 pts:99999999999999999999\n");
  feed(&t, "frame:0 pts:7" + std::string(200, ' ') + "\n");  // longer than any line the decoder writes
  feed(&t, "frame:3 pts:30\n");
  EXPECT_EQ(frame_times_take(&t, 0), 30);
}

TEST(Timeline, FramesAreTheFirstFramesWallTimePlusTheirTimeSinceIt) {
  Timeline t{};
  const int64_t wall = 1796950000000000;  // us since 1970
  EXPECT_EQ(timeline_timecode(&t, 1000000, wall), wall * 10);
  // Sound and pictures on one timeline, whenever each is sent.
  EXPECT_EQ(timeline_timecode(&t, 938667, wall + 5000), (wall - 61333) * 10);
  EXPECT_EQ(timeline_timecode(&t, 2000000, wall + 1900000), (wall + 1000000) * 10);
  // A jump back (a reconnect, a wrap) and one forward: a new origin at once, no
  // run backwards and no gap.
  EXPECT_EQ(timeline_timecode(&t, 5000, wall + 2000000), (wall + 2000000) * 10);
  EXPECT_EQ(timeline_timecode(&t, 38333, wall + 2040000), (wall + 2033333) * 10);
  EXPECT_EQ(timeline_timecode(&t, 90000000, wall + 2080000), (wall + 2080000) * 10);
}

class Hold : public testing::Test {
 protected:
  void SetUp() override { audio_hold_init(&h_, 33333); }

  void push(int64_t pts, int64_t now) {
    float block[kAudioBlockSamples * kAudioChannels];
    for (float& x : block) x = (float)pts;
    audio_hold_push(&h_, block, pts, now);
  }
  bool due(int64_t now) {
    int64_t wait = -1;
    return audio_hold_due(&h_, now, &wait);
  }
  int64_t pop() {
    float block[kAudioBlockSamples * kAudioChannels];
    int64_t pts = audio_hold_pop(&h_, block);
    EXPECT_EQ(block[kAudioBlockSamples], (float)pts);  // the block's own samples
    return pts;
  }

  AudioHold h_;
};

TEST_F(Hold, ABlockWaitsForItsPictureAndNeverPastTheBound) {
  push(1000000, 0);
  push(1010000, 0);
  EXPECT_FALSE(due(0));
  int64_t wait = 0;
  audio_hold_due(&h_, 30000, &wait);
  EXPECT_EQ(wait, kAudioHoldUs - 30000);
  // A picture that ends before the block starts does not release it; the one
  // it falls in does, and only the blocks that end before the next.
  audio_hold_picture_sent(&h_, 1000000 - 33333);
  EXPECT_FALSE(due(1000));
  audio_hold_picture_sent(&h_, 1000000);
  EXPECT_TRUE(due(1000));
  EXPECT_EQ(pop(), 1000000);
  EXPECT_TRUE(due(1000));  // 1010000 to 1020000 falls in the same picture
  EXPECT_EQ(pop(), 1010000);
  // A block that runs into the next picture waits for it: never ahead of it.
  push(1025000, 1000);
  EXPECT_FALSE(due(1000));
  audio_hold_picture_sent(&h_, 1033333);
  EXPECT_TRUE(due(1000));
  EXPECT_EQ(pop(), 1025000);
  push(1070000, 2000);
  EXPECT_FALSE(due(2000));
  // Pictures stop: the block goes at its bound.
  EXPECT_FALSE(due(2000 + kAudioHoldUs - 1));
  EXPECT_TRUE(due(2000 + kAudioHoldUs));
}

TEST_F(Hold, BlocksLeaveInTheOrderTheyCame) {
  push(1100000, 0);  // waits for a later picture
  push(900000, 0);   // an older time behind it (a jump): still second
  audio_hold_picture_sent(&h_, 1100000);
  EXPECT_TRUE(due(0));
  EXPECT_EQ(pop(), 1100000);
  EXPECT_EQ(pop(), 900000);
  for (int i = 0; i < AudioHold::kBlocks; ++i) push(i, 0);
  EXPECT_TRUE(audio_hold_full(&h_));
  for (int i = 0; i < AudioHold::kBlocks; ++i) EXPECT_EQ(pop(), i);
}

TEST_F(Hold, NothingWaitsWithoutTimes) {
  push(kNoPts, 0);
  EXPECT_TRUE(due(0));  // a block without a time
  pop();
  push(5000000, 0);
  audio_hold_picture_sent(&h_, kNoPts);  // pictures without times
  EXPECT_TRUE(due(0));
}

TEST_F(Hold, ThePeriodIsTheOneBetweenTheLastTwoPictures) {
  // 25 fps pictures announced as 30: a block that ends 40 ms after a picture
  // is still that picture's.
  audio_hold_picture_sent(&h_, 1000000);
  audio_hold_picture_sent(&h_, 1040000);
  push(1070000, 0);
  EXPECT_TRUE(due(0));
}

}  // namespace
