// What one camera's PTZ worker sends next: the receivers' commands in order,
// one call out at a time. While one is out, a newer command of the same kind
// replaces a waiting one and a stop replaces every waiting move; a speed
// that is not 0 is renewed before the camera's own Timeout runs out, and
// ends in a stop when no new speed comes for 30 s. Pure: the worker's thread
// (ptz_worker.h) gives it the time, tests give it theirs.
#pragma once
#include <deque>
#include <string>
#include <vector>

#include "ptz_camera.h"
#include "text/json_line.h"

constexpr double kPtzSpeedSilence = 30.0;  // a speed held this long without a new one is stopped

// What one command came to, for the loop (InboxKind::kPtzDone).
struct PtzReport {
  std::string command;  // the ptz line's, or "stop" for a stop of the supervisor's own
  std::string result;   // ptz_result_name, or "replaced"
  std::string state;    // "ready", "moving", "held", "unreachable" or "no_ptz"
  std::string why;      // for people, when it failed
};

struct PtzOrder {
  enum Kind { kMove, kStop, kPanTilt, kZoom, kStore, kRecall, kUnsupported };
  Kind kind = kStop;
  std::vector<std::string> commands;  // the commands it answers
  double pan = 0, tilt = 0, zoom = 0;  // a move's speeds (as taken), a position
  int index = 0;
  double speed = 0;
};

class PtzQueue {
 public:
  // A ptz line of the tool's; anything it cannot read is passed over.
  // Commands that a newer one replaces are added to *replaced.
  void put(const Json& event, double now, std::vector<PtzReport>* replaced);
  // The supervisor's stop (the run ended, 0 connections): every waiting
  // command is dropped, and a camera that may be moving is stopped.
  void stop(std::vector<PtzReport>* replaced);
  // The next order to send, or false with *wake the time to look again
  // (a renewal, the silence's stop; unchanged when none is due).
  bool take(double now, PtzOrder* out, double* wake);
  // What the order sent came to; move_seconds is the Timeout the move carried.
  void done(const PtzOrder& order, PtzResult result, int move_seconds, double now);
  bool moving() const { return maybe_moving_; }
  bool empty() const { return waiting_.empty(); }

 private:
  void queue_stop(const char* command, bool moves_only, std::vector<PtzReport>* replaced);
  std::deque<PtzOrder> waiting_;
  double pan_ = 0, tilt_ = 0, zoom_ = 0;  // the receiver's speeds as they stand
  double last_speed_at_ = 0;
  bool maybe_moving_ = false;  // a move went out since the last stop
  bool renew_ = false;         // the speeds are renewed at renew_at_
  double renew_at_ = 0;
};
