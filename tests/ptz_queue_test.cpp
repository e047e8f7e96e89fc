// What a camera's PTZ worker sends, in simulated time: a newer command takes a
// waiting one's place, a stop drops the moves behind it, a held speed is
// renewed before the camera's Timeout and stopped after 30 s of silence, and
// the supervisor's stop stops only a camera that may be moving.
#include <gtest/gtest.h>

#include "ptz/ptz_queue.h"

namespace {

Json speed(double pan, double tilt) {
  return Json{{"event", "ptz"}, {"command", "pan_tilt_speed"}, {"pan_speed", pan}, {"tilt_speed", tilt}};
}

// Takes and finishes the next order at now, as the camera answered ok with a
// Timeout of move_seconds.
bool send(PtzQueue* q, double now, PtzOrder* o, int move_seconds = 1) {
  double wake = 1e9;
  if (!q->take(now, o, &wake)) return false;
  q->done(*o, PtzResult::kOk, move_seconds, now);
  return true;
}

TEST(PtzQueue, NewerCommandsReplaceWaitingOnesAndAStopDropsTheMoves) {
  PtzQueue q;
  std::vector<PtzReport> replaced;
  q.put(speed(0.5, 0), 0, &replaced);
  PtzOrder out;
  double wake = 1e9;
  ASSERT_TRUE(q.take(0, &out, &wake));  // out at the camera now
  EXPECT_EQ(out.kind, PtzOrder::kMove);
  q.put(speed(0.2, 0.1), 0.1, &replaced);
  q.put(Json{{"command", "zoom_speed"}, {"zoom_speed", -0.5}}, 0.1, &replaced);
  q.put(speed(0.3, 0.1), 0.2, &replaced);
  q.put(Json{{"command", "recall_preset"}, {"index", 3}, {"speed", 1}}, 0.2, &replaced);
  ASSERT_EQ(replaced.size(), 1u);  // the first waiting pan_tilt_speed
  EXPECT_EQ(replaced[0].command, "pan_tilt_speed");
  q.done(out, PtzResult::kOk, 1, 0.3);
  ASSERT_TRUE(send(&q, 0.3, &out));
  EXPECT_EQ(out.kind, PtzOrder::kMove);  // one move with every speed as it stands
  EXPECT_EQ(out.pan, 0.3);
  EXPECT_EQ(out.tilt, 0.1);
  EXPECT_EQ(out.zoom, -0.5);
  // The receiver lets go: the stop drops the moves waiting, not the recall.
  q.put(speed(0.4, 0), 0.35, &replaced);
  q.put(Json{{"command", "zoom_speed"}, {"zoom_speed", 0}}, 0.4, &replaced);
  q.put(speed(0, 0), 0.4, &replaced);
  ASSERT_TRUE(send(&q, 0.5, &out));
  EXPECT_EQ(out.kind, PtzOrder::kRecall);
  ASSERT_TRUE(send(&q, 0.5, &out));
  EXPECT_EQ(out.kind, PtzOrder::kStop);
  EXPECT_FALSE(q.moving());
  // Presets stored at two indexes are two commands.
  q.put(Json{{"command", "store_preset"}, {"index", 3}}, 0.6, &replaced);
  q.put(Json{{"command", "store_preset"}, {"index", 4}}, 0.6, &replaced);
  ASSERT_TRUE(send(&q, 0.7, &out));
  EXPECT_EQ(out.index, 3);
  ASSERT_TRUE(send(&q, 0.7, &out));
  EXPECT_EQ(out.index, 4);
  EXPECT_FALSE(send(&q, 100, &out));
}

TEST(PtzQueue, AHeldSpeedIsRenewedAndStoppedAfterSilence) {
  PtzQueue q;
  std::vector<PtzReport> replaced;
  PtzOrder out;
  // Nothing moving: the supervisor's stop sends nothing.
  q.stop(&replaced);
  EXPECT_FALSE(send(&q, 0, &out));
  q.put(speed(1, 0), 0, &replaced);
  ASSERT_TRUE(send(&q, 0, &out, 4));
  double wake = 1e9;
  EXPECT_FALSE(q.take(1.0, &out, &wake));
  EXPECT_EQ(wake, 2.0);  // half the camera's Timeout
  int renewals = 0;
  double t = 2.0;
  for (; t < 40 && send(&q, t, &out, 4); t += 2.0) {
    if (out.kind == PtzOrder::kStop) break;
    EXPECT_TRUE(out.commands.empty());  // a renewal answers no command
    ++renewals;
  }
  EXPECT_EQ(out.kind, PtzOrder::kStop);
  EXPECT_EQ(t, 30.0);
  EXPECT_EQ(renewals, 14);
  // Moving again, the supervisor's stop stops it and drops what waits.
  q.put(speed(1, 0), 50, &replaced);
  ASSERT_TRUE(send(&q, 50, &out));
  q.put(Json{{"command", "recall_preset"}, {"index", 2}, {"speed", 1}}, 50.1, &replaced);
  q.stop(&replaced);
  ASSERT_EQ(replaced.size(), 1u);
  EXPECT_EQ(replaced[0].command, "recall_preset");
  ASSERT_TRUE(send(&q, 50.2, &out));
  EXPECT_EQ(out.kind, PtzOrder::kStop);
  EXPECT_EQ(out.commands, std::vector<std::string>{"stop"});
  EXPECT_FALSE(send(&q, 100, &out));
  // A preset stored while moving: stopped first, where it is.
  q.put(speed(1, 0), 101, &replaced);
  ASSERT_TRUE(send(&q, 101, &out));
  q.put(Json{{"command", "store_preset"}, {"index", 5}}, 101.1, &replaced);
  ASSERT_TRUE(send(&q, 101.2, &out));
  EXPECT_EQ(out.kind, PtzOrder::kStop);
  ASSERT_TRUE(send(&q, 101.3, &out));
  EXPECT_EQ(out.kind, PtzOrder::kStore);
  EXPECT_FALSE(send(&q, 110, &out));  // and not moved again
}

}  // namespace
