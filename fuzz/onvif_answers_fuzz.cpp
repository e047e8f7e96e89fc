// Fuzzes what a camera or any host on the network can send us: its SOAP
// answers (every reader over each, and the host of the address it names
// moved onto another) and its HTTP Digest challenges.
//
// The first input byte picks:
//  - even: the rest is an answer. Whatever it holds, the readers keep to
//    their bounds: at most 64 devices with at most 8 addresses each, at most
//    32 profiles each with a token, sizes and rates within their ranges; PTZ
//    spaces bounded in number with finite, ordered ranges, presets bounded
//    and each with a token. Every command made against what was read sends
//    finite numbers within the range of the space it names.
//  - odd: the rest is WWW-Authenticate values, one a line. A challenge taken
//    has a nonce and an algorithm we answer, and gives an answer.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "answers.h"
#include "http_digest.h"
#include "ptz_soap.h"
#include "readdress.h"

static void fail(const char* what) {
  fprintf(stderr, "onvif_answers_fuzz: %s\n", what);
  abort();
}

static void check_range(const PtzRange& r) {
  if (!std::isfinite(r.min) || !std::isfinite(r.max) || r.min > r.max) fail("a range not finite and ordered");
}

static void check_spaces(const std::vector<PtzSpace>& list) {
  if (list.size() > kPtzMaxSpaces) fail("more spaces than the bound");
  for (const PtzSpace& s : list) {
    if (s.uri.empty() || s.uri.size() > 1024) fail("a space without a bounded URI");
    check_range(s.x);
    check_range(s.y);
  }
}

static void check_abilities(const PtzAbilities& c) {
  for (const std::vector<PtzSpace>* list :
       {&c.spaces.absolute_pan_tilt, &c.spaces.absolute_zoom, &c.spaces.continuous_pan_tilt,
        &c.spaces.continuous_zoom, &c.spaces.pan_tilt_speed, &c.spaces.zoom_speed}) {
    check_spaces(*list);
  }
  if (c.has_timeout) {
    check_range(c.timeout);
    if (c.timeout.min < 0 || c.timeout.max > 86400) fail("a timeout out of bounds");
  }
  if (c.max_presets < 0) fail("a negative number of presets");
}

// The value sent on an axis lies within the range of the space the call names
// (the first listed under that URI, as the commands choose).
static void check_sent(const std::vector<PtzSpace>& list, const std::string& uri, double v, bool y) {
  for (const PtzSpace& s : list) {
    if (s.uri != uri) continue;
    const PtzRange& r = y ? s.y : s.x;
    if (!std::isfinite(v) || v < r.min || v > r.max) fail("a number sent outside its space's range");
    return;
  }
  fail("a call in a space the camera does not list");
}

// tilt_on_y: false for a speed, whose pan-tilt spaces have the one axis.
static void check_call(const std::vector<PtzSpace>& pan_tilt, const std::vector<PtzSpace>& zoom, bool tilt_on_y,
                       const PtzCall& call) {
  if (call.has_pan_tilt) {
    check_sent(pan_tilt, call.pan_tilt_space, call.pan, false);
    check_sent(pan_tilt, call.pan_tilt_space, call.tilt, tilt_on_y);
  }
  if (call.has_zoom) check_sent(zoom, call.zoom_space, call.zoom, false);
  if (ptz_request(call, nullptr).empty()) fail("a call not written");
}

static void check_ptz(const OnvifAnswer& a, const std::string& profile_token) {
  PtzAbilities options = read_ptz_options(a), node = read_ptz_node(a);
  check_abilities(options);
  check_abilities(node);
  PtzAbilities c = ptz_abilities_merge(options, node);
  check_abilities(c);
  PtzProfile p = read_ptz_profile(a, profile_token);
  std::vector<PtzPreset> presets = read_ptz_presets(a);
  if (presets.size() > kPtzMaxPresets) fail("more presets than the bound");
  for (const PtzPreset& preset : presets) {
    if (preset.token.empty()) fail("a preset without a token");
  }
  read_ptz_preset_token(a);
  static const double kInputs[] = {-1, -0.3, 0, 0.7, 1, 2, -INFINITY, NAN};
  for (double v : kInputs) {
    PtzCall call;
    if (ptz_velocity(c, v, -v, v, true, &call)) {
      check_call(c.spaces.continuous_pan_tilt, c.spaces.continuous_zoom, true, call);
      if ((call.timeout_s > 0) != c.has_timeout || call.timeout_s < 0 || call.timeout_s > 86400) {
        fail("a timeout out of bounds");
      }
    }
    PtzCall move;
    ptz_pan_tilt_position(c, p, v, -v, &move);
    ptz_zoom_position(c, p, v, &move);
    check_call(c.spaces.absolute_pan_tilt, c.spaces.absolute_zoom, true, move);
    PtzCall go;
    go.action = PtzCall::kGotoPreset;
    ptz_goto_speed(c, v, &go);
    if (go.has_speed && go.has_pan_tilt && go.pan != go.tilt) fail("a preset's speed differs on its axes");
    if (go.has_speed) check_call(c.spaces.pan_tilt_speed, c.spaces.zoom_speed, false, go);
  }
}

static void check_answer(const std::string& text) {
  std::string why;
  OnvifAnswerPtr a = onvif_answer_read(text, &why);
  if (!a) {
    if (why.empty()) fail("a refused answer without a reason");
    return;
  }
  onvif_fault(*a);
  read_relates_to(*a);
  std::vector<ProbeMatch> matches = read_probe_matches(*a);
  if (matches.size() > kOnvifMaxDevices) fail("more devices than the bound");
  for (const ProbeMatch& m : matches) {
    if (m.xaddrs.size() > 8) fail("more addresses than the bound");
  }
  int64_t t;
  read_system_time(*a, &t);
  read_device_info(*a);
  read_services(*a);
  read_capabilities(*a);
  std::vector<MediaProfile> profiles = read_profiles(*a);
  if (profiles.size() > kOnvifMaxProfiles) fail("more profiles than the bound");
  for (const MediaProfile& p : profiles) {
    if (p.token.empty()) fail("a profile without a token");
    if (p.width < 0 || p.width > 65535 || p.height < 0 || p.height > 65535) fail("a size out of range");
    if (!(p.rate >= 0 && p.rate <= 1000)) fail("a rate out of range");
  }
  check_ptz(*a, profiles.empty() ? std::string() : profiles[0].token);
  // The addresses a camera names are moved onto the host that answered.
  std::string uri = read_media_uri(*a);
  std::string host = url_host(uri);
  if (uri.find(host) == std::string::npos) fail("a host that is not in its address");
  std::string moved = url_with_host(uri, "192.0.2.1");
  if (!host.empty() && moved.find("192.0.2.1") == std::string::npos) fail("a host not replaced");
}

static void check_challenges(const std::string& text) {
  std::vector<std::string> values;
  size_t i = 0;
  while (i <= text.size() && values.size() < 8) {
    size_t e = text.find('\n', i);
    if (e == std::string::npos) e = text.size();
    values.push_back(text.substr(i, e - i));
    i = e + 1;
  }
  DigestChallenge c;
  if (!digest_challenge_pick(values, &c)) return;
  if (c.nonce.empty()) fail("a challenge without a nonce");
  if (digest_authorization(c, "user", "password", "POST", "/onvif/device_service").empty()) {
    fail("a challenge taken but not answered");
  }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size == 0) return 0;
  std::string rest(reinterpret_cast<const char*>(data) + 1, size - 1);
  if (data[0] % 2 == 0) {
    check_answer(rest);
  } else {
    check_challenges(rest);
  }
  return 0;
}
