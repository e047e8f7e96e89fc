// One camera's PTZ service as a switcher drives it: asked once what the
// source's profile can do, then sent one command at a time, each call 2 s at
// most. Not for two threads at once: one worker owns each.
#pragma once
#include <memory>
#include <string>

#include "soap_call.h"

enum class PtzResult { kOk, kFailed, kRefused, kNotSupported, kNoPreset };
const char* ptz_result_name(PtzResult result);  // "ok", "failed", "refused", "not_supported", "no_preset"

struct PtzOutcome {
  PtzResult result = PtzResult::kOk;
  bool unreachable = false;  // failed without an HTTP answer
  std::string why;           // for people, unless ok
};

// Where the camera is and who may move it.
struct PtzTarget {
  std::string device;   // its device service, http://
  std::string profile;  // the token of the source's profile
  Credentials credentials;
  bool operator==(const PtzTarget& o) const {
    return device == o.device && profile == o.profile && credentials.user == o.credentials.user &&
           credentials.password == o.credentials.password;
  }
};

// What the worker asks of a camera; tests drive the worker through their own.
class PtzControl {
 public:
  virtual ~PtzControl() = default;
  // Speeds -1..1: a ContinuousMove carrying all three (zoom where it can).
  virtual PtzOutcome move(double pan, double tilt, double zoom) = 0;
  // ContinuousMove with every axis 0, then Stop, the second whatever the
  // first got: cameras differ in which they obey. Ok when either was.
  virtual PtzOutcome stop() = 0;
  virtual PtzOutcome pan_tilt(double pan, double tilt) = 0;  // -1..1
  virtual PtzOutcome zoom(double zoom) = 0;                  // 0..1
  // The preset named ndi-<index>: overwritten where it exists, else made.
  virtual PtzOutcome store(int index) = 0;
  virtual PtzOutcome recall(int index, double speed) = 0;
  // Seconds the last move runs for on the camera's own (its Timeout); 0 when
  // it carried none.
  virtual int move_seconds() const = 0;
  // False once the camera said it has no PTZ for the profile.
  virtual bool has_ptz() const = 0;
};

// The real camera's. Nothing is sent before the first command: then it is
// asked (its clock, services and profiles, the PTZ options and node), and
// again before the next command after a call got no answer at all.
std::unique_ptr<PtzControl> ptz_camera(const PtzTarget& target);
