#include "ptz_camera.h"

#include <chrono>
#include <utility>
#include <vector>

#include "camera.h"
#include "ptz_soap.h"
#include "udp.h"

static const int kCallSeconds = 2;

const char* ptz_result_name(PtzResult result) {
  switch (result) {
    case PtzResult::kOk: return "ok";
    case PtzResult::kFailed: return "failed";
    case PtzResult::kRefused: return "refused";
    case PtzResult::kNotSupported: return "not_supported";
    case PtzResult::kNoPreset: return "no_preset";
  }
  return "failed";
}

namespace {

PtzOutcome outcome(PtzResult result, std::string why) {
  PtzOutcome o;
  o.result = result;
  o.why = std::move(why);
  return o;
}

class Camera : public PtzControl {
 public:
  explicit Camera(PtzTarget target) : target_(std::move(target)) {}

  PtzOutcome move(double pan, double tilt, double zoom) override {
    PtzOutcome o;
    if (!ready(&o)) return o;
    PtzCall c;
    if (!ptz_velocity(abilities_, pan, tilt, zoom, with_timeout_, &c)) {
      return outcome(PtzResult::kNotSupported, "the camera lists no space to move in at a speed");
    }
    c.profile = target_.profile;
    o = call(c);
    if (o.result == PtzResult::kFailed && !o.unreachable && c.timeout_s > 0) {
      // Some cameras fault on any Timeout: once one moves without it, it is
      // sent none again.
      c.timeout_s = 0;
      PtzOutcome again = call(c);
      if (again.result == PtzResult::kOk) with_timeout_ = false;
      if (again.result != PtzResult::kFailed) o = again;
    }
    if (o.result == PtzResult::kOk) move_seconds_ = c.timeout_s;
    return o;
  }

  PtzOutcome stop() override {
    PtzOutcome o;
    if (!ready(&o)) return o;
    PtzCall zero;
    bool can_zero = ptz_velocity(abilities_, 0, 0, 0, false, &zero);
    zero.profile = target_.profile;
    PtzOutcome first = can_zero ? call(zero) : outcome(PtzResult::kNotSupported, "");
    if (first.result == PtzResult::kRefused) return first;
    PtzCall stop;
    stop.action = PtzCall::kStop;
    stop.profile = target_.profile;
    PtzOutcome second = call(stop);
    if (first.result == PtzResult::kOk) return first;
    if (second.result != PtzResult::kFailed || !can_zero) return second;
    return first;
  }

  PtzOutcome pan_tilt(double pan, double tilt) override {
    return absolute([&](PtzCall* c) { return ptz_pan_tilt_position(abilities_, profile_, pan, tilt, c); },
                    "the camera lists no space to pan and tilt to a position in");
  }

  PtzOutcome zoom(double zoom) override {
    return absolute([&](PtzCall* c) { return ptz_zoom_position(abilities_, profile_, zoom, c); },
                    "the camera lists no space to zoom to a position in");
  }

  PtzOutcome store(int index) override {
    std::string token;
    PtzOutcome o = find_preset(index, &token);
    if (o.result != PtzResult::kOk && o.result != PtzResult::kNoPreset) return o;
    PtzCall c;
    c.action = PtzCall::kSetPreset;
    c.profile = target_.profile;
    c.preset_name = ptz_preset_name(index);
    c.token = token;  // empty: a new preset
    return call(c);
  }

  PtzOutcome recall(int index, double speed) override {
    std::string token;
    PtzOutcome o = find_preset(index, &token);
    if (o.result != PtzResult::kOk) return o;
    PtzCall c;
    c.action = PtzCall::kGotoPreset;
    c.profile = target_.profile;
    c.token = token;
    ptz_goto_speed(abilities_, speed, &c);
    return call(c);
  }

  int move_seconds() const override { return move_seconds_; }
  bool has_ptz() const override { return !no_ptz_; }

 private:
  // An AbsoluteMove that map writes, or why the camera cannot take one.
  template <typename Map>
  PtzOutcome absolute(Map map, const char* unable) {
    PtzOutcome o;
    if (!ready(&o)) return o;
    PtzCall c;
    if (!map(&c)) return outcome(PtzResult::kNotSupported, unable);
    c.profile = target_.profile;
    return call(c);
  }

  // The camera asked what the profile can do, once; false with *o when it
  // could not be, or has no PTZ.
  bool ready(PtzOutcome* o) {
    if (prepared_) return true;
    if (no_ptz_) {
      *o = outcome(PtzResult::kNotSupported, no_ptz_why_);
      return false;
    }
    std::vector<Ipv4Interface> networks;
    std::string why;
    ipv4_interfaces(&networks, &why);  // none known: every address is taken as named
    CameraAskOptions options;
    options.media_addresses = false;
    options.call_seconds = kCallSeconds;
    profile_ = PtzProfile();
    bool listed = false;
    options.profiles = [&](const OnvifAnswer& a) {
      for (const MediaProfile& p : read_profiles(a)) listed = listed || p.token == target_.profile;
      profile_ = read_ptz_profile(a, target_.profile);
    };
    CameraReport r = camera_ask(target_.device, target_.credentials, networks, options);
    if (r.refused) {
      *o = outcome(PtzResult::kRefused, r.error);
      return false;
    }
    if (!r.error.empty()) {
      *o = outcome(PtzResult::kFailed, r.error);
      o->unreachable = true;
      return false;
    }
    if (!listed || profile_.configuration.empty() || r.ptz_service.empty()) {
      no_ptz_ = true;
      no_ptz_why_ = !listed ? "the camera has no profile " + target_.profile
                   : r.ptz_service.empty() ? "the camera names no PTZ service"
                                           : "the camera's profile " + target_.profile + " has no PTZ";
      *o = outcome(PtzResult::kNotSupported, no_ptz_why_);
      return false;
    }
    service_ = r.ptz_service;
    token_ = UsernameToken{target_.credentials.user, target_.credentials.password, r.clock_offset};
    PtzCall c;
    c.action = PtzCall::kGetConfigurationOptions;
    c.token = profile_.configuration;
    OnvifAnswerPtr answer;
    *o = call(c, &answer);
    if (o->result != PtzResult::kOk) return false;
    PtzAbilities options_read = read_ptz_options(*answer), node;
    if (!profile_.node.empty()) {
      c.action = PtzCall::kGetNode;
      c.token = profile_.node;
      *o = call(c, &answer);
      if (o->result == PtzResult::kRefused || o->unreachable) return false;
      if (o->result == PtzResult::kOk) node = read_ptz_node(*answer);
    }
    abilities_ = ptz_abilities_merge(options_read, node);
    prepared_ = true;
    *o = PtzOutcome();
    return true;
  }

  // The token of the preset named for index; kNoPreset when the camera has none.
  PtzOutcome find_preset(int index, std::string* token) {
    PtzOutcome o;
    if (!ready(&o)) return o;
    PtzCall c;
    c.action = PtzCall::kGetPresets;
    c.profile = target_.profile;
    OnvifAnswerPtr answer;
    o = call(c, &answer);
    if (o.result != PtzResult::kOk) return o;
    std::string name = ptz_preset_name(index);
    for (const PtzPreset& p : read_ptz_presets(*answer)) {
      if (p.name == name) {
        *token = p.token;
        return o;
      }
    }
    return outcome(PtzResult::kNoPreset, "the camera has no preset " + name);
  }

  PtzOutcome call(const PtzCall& c, OnvifAnswerPtr* answer = nullptr) {
    std::string action = ptz_action_name(c.action);
    auto body = [&] { return ptz_request(c, &token_); };
    CallOutcome r = soap_call(service_, body, std::string(kPtzNs) + "/" + action, &target_.credentials,
                              std::chrono::steady_clock::now() + std::chrono::seconds(kCallSeconds));
    if (r.answer) {
      if (answer) *answer = std::move(r.answer);
      return PtzOutcome();
    }
    PtzOutcome o = outcome(r.refused ? PtzResult::kRefused : PtzResult::kFailed, action + " at " + service_ + ": " + r.why);
    // A camera that is not there now is asked anew before the next command:
    // it may have come back with other addresses.
    o.unreachable = !r.answered;
    if (o.unreachable) prepared_ = false;
    return o;
  }

  PtzTarget target_;
  bool prepared_ = false, no_ptz_ = false;
  std::string no_ptz_why_;
  std::string service_;
  UsernameToken token_;
  PtzProfile profile_;
  PtzAbilities abilities_;
  bool with_timeout_ = true;
  int move_seconds_ = 0;
};

}  // namespace

std::unique_ptr<PtzControl> ptz_camera(const PtzTarget& target) { return std::unique_ptr<PtzControl>(new Camera(target)); }
