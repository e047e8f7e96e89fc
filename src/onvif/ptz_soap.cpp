#include "ptz_soap.h"

#include <charconv>
#include <cfloat>
#include <cmath>

#include "answer_nodes.h"

const char kPtzNs[] = "http://www.onvif.org/ver20/ptz/wsdl";
static const char kSchemaNs[] = "http://www.onvif.org/ver10/schema";

static const char kPanTiltVelocityGeneric[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/VelocityGenericSpace";
static const char kZoomVelocityGeneric[] = "http://www.onvif.org/ver10/tptz/ZoomSpaces/VelocityGenericSpace";
static const char kPanTiltPositionGeneric[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/PositionGenericSpace";
static const char kZoomPositionGeneric[] = "http://www.onvif.org/ver10/tptz/ZoomSpaces/PositionGenericSpace";
static const char kPanTiltSpeedGeneric[] = "http://www.onvif.org/ver10/tptz/PanTiltSpaces/GenericSpeedSpace";
static const char kZoomSpeedGeneric[] = "http://www.onvif.org/ver10/tptz/ZoomSpaces/ZoomGenericSpeedSpace";

// Longer URIs, tokens and names are no camera's own: the item is dropped.
static const size_t kPtzMaxText = 1024;

// ---- Requests

const char* ptz_action_name(PtzCall::Action action) {
  switch (action) {
    case PtzCall::kGetConfigurationOptions: return "GetConfigurationOptions";
    case PtzCall::kGetNode: return "GetNode";
    case PtzCall::kGetPresets: return "GetPresets";
    case PtzCall::kContinuousMove: return "ContinuousMove";
    case PtzCall::kStop: return "Stop";
    case PtzCall::kAbsoluteMove: return "AbsoluteMove";
    case PtzCall::kSetPreset: return "SetPreset";
    case PtzCall::kGotoPreset: return "GotoPreset";
  }
  return "GetPresets";
}

// Coordinates are xs:float: the shortest text of the nearest float reads
// back as the very value the camera compares with its own range, without the
// tails of double arithmetic. to_chars writes '.' whatever the locale.
static std::string number_text(double v) {
  char buf[64];
  std::to_chars_result r;
  if (std::fabs(v) <= FLT_MAX) {
    float f = static_cast<float>(v);
    if (f == 0) f = 0;  // "0", never "-0"
    r = std::to_chars(buf, buf + sizeof buf, f);
  } else {
    r = std::to_chars(buf, buf + sizeof buf, v);
  }
  return std::string(buf, r.ptr);
}

// A PTZVector (Velocity, Position) or PTZSpeed: the axes the call has.
static void write_vector(pugi::xml_node n, const PtzCall& call) {
  if (call.has_pan_tilt) {
    pugi::xml_node pt = n.append_child("tt:PanTilt");
    pt.append_attribute("x") = number_text(call.pan).c_str();
    pt.append_attribute("y") = number_text(call.tilt).c_str();
    if (!call.pan_tilt_space.empty()) pt.append_attribute("space") = call.pan_tilt_space.c_str();
  }
  if (call.has_zoom) {
    pugi::xml_node z = n.append_child("tt:Zoom");
    z.append_attribute("x") = number_text(call.zoom).c_str();
    if (!call.zoom_space.empty()) z.append_attribute("space") = call.zoom_space.c_str();
  }
}

std::string ptz_request(const PtzCall& call, const UsernameToken* token) {
  pugi::xml_document doc;
  pugi::xml_node body = soap_envelope(&doc, token);
  if (!body) return std::string();
  pugi::xml_node act = body.append_child((std::string("tptz:") + ptz_action_name(call.action)).c_str());
  act.append_attribute("xmlns:tptz") = kPtzNs;
  act.append_attribute("xmlns:tt") = kSchemaNs;
  auto add = [&act](const char* name, const std::string& value) { act.append_child(name).text() = value.c_str(); };
  switch (call.action) {
    case PtzCall::kGetConfigurationOptions: add("tptz:ConfigurationToken", call.token); break;
    case PtzCall::kGetNode: add("tptz:NodeToken", call.token); break;
    case PtzCall::kGetPresets: add("tptz:ProfileToken", call.profile); break;
    case PtzCall::kContinuousMove:
      add("tptz:ProfileToken", call.profile);
      write_vector(act.append_child("tptz:Velocity"), call);
      if (call.timeout_s > 0) add("tptz:Timeout", "PT" + std::to_string(call.timeout_s) + "S");
      break;
    case PtzCall::kStop:
      add("tptz:ProfileToken", call.profile);
      add("tptz:PanTilt", "true");
      add("tptz:Zoom", "true");
      break;
    case PtzCall::kAbsoluteMove:
      add("tptz:ProfileToken", call.profile);
      write_vector(act.append_child("tptz:Position"), call);
      break;
    case PtzCall::kSetPreset:
      add("tptz:ProfileToken", call.profile);
      add("tptz:PresetName", call.preset_name);
      if (!call.token.empty()) add("tptz:PresetToken", call.token);
      break;
    case PtzCall::kGotoPreset:
      add("tptz:ProfileToken", call.profile);
      add("tptz:PresetToken", call.token);
      if (call.has_speed) write_vector(act.append_child("tptz:Speed"), call);
      break;
  }
  return soap_text(doc);
}

// ---- Answers

// Bounded text: false (the item is dropped) when longer than any camera's.
static bool bounded(const std::string& s, std::string* out) {
  if (s.size() > kPtzMaxText) return false;
  *out = s;
  return true;
}

// An xs:float or xs:double, read without the C locale's say in the decimal
// point. Infinities and NaN are no coordinate.
static bool finite_number(pugi::xml_node n, double* out) {
  std::string s = text(n);
  const char* b = s.c_str();
  const char* e = b + s.size();
  if (b != e && *b == '+') b++;  // xs:float allows it, from_chars does not
  std::from_chars_result r = std::from_chars(b, e, *out);
  return b != e && r.ec == std::errc() && r.ptr == e && std::isfinite(*out);
}

static bool read_range(pugi::xml_node n, PtzRange* r) {
  return finite_number(child(n, "Min"), &r->min) && finite_number(child(n, "Max"), &r->max) && r->min <= r->max;
}

// The kinds of space, as the options' Spaces and the node's SupportedPTZSpaces
// both name them. Pan-tilt positions and velocities have two axes; zoom and
// the speeds (Space1DDescription) one.
static const struct {
  const char* name;
  std::vector<PtzSpace> PtzSpaces::*list;
  bool two_axes;
} kSpaceKinds[] = {
    {"AbsolutePanTiltPositionSpace", &PtzSpaces::absolute_pan_tilt, true},
    {"AbsoluteZoomPositionSpace", &PtzSpaces::absolute_zoom, false},
    {"ContinuousPanTiltVelocitySpace", &PtzSpaces::continuous_pan_tilt, true},
    {"ContinuousZoomVelocitySpace", &PtzSpaces::continuous_zoom, false},
    {"PanTiltSpeedSpace", &PtzSpaces::pan_tilt_speed, false},
    {"ZoomSpeedSpace", &PtzSpaces::zoom_speed, false},
};

static PtzSpaces read_spaces(pugi::xml_node spaces) {
  PtzSpaces out;
  for (pugi::xml_node n = spaces.first_child(); n; n = n.next_sibling()) {
    for (const auto& kind : kSpaceKinds) {
      if (!is(n, kind.name)) continue;
      std::vector<PtzSpace>& list = out.*kind.list;
      PtzSpace s;
      if (list.size() < kPtzMaxSpaces && bounded(text(child(n, "URI")), &s.uri) && !s.uri.empty() &&
          read_range(child(n, "XRange"), &s.x) && (!kind.two_axes || read_range(child(n, "YRange"), &s.y))) {
        list.push_back(std::move(s));
      }
      break;
    }
  }
  return out;
}

// An xs:duration of days, hours, minutes and seconds (PT5S, PT0.5S, PT1M30S,
// P1DT2H), as cameras give PTZTimeout, in seconds up to a day: a longer one
// bounds nothing we send. Years and months have no fixed length and no camera
// gives them: those, a sign or anything else is false.
static bool duration_seconds(const std::string& s, double* out) {
  static const struct {
    char unit;
    bool in_time;
    double seconds;
  } kFields[] = {{'D', false, 86400}, {'H', true, 3600}, {'M', true, 60}, {'S', true, 1}};
  if (s.size() < 3 || s[0] != 'P') return false;
  double total = 0;
  bool in_time = false;
  size_t i = 1, field = 0;
  while (i < s.size()) {
    if (s[i] == 'T' && !in_time && i + 1 < s.size()) {
      in_time = true;
      i++;
      continue;
    }
    size_t b = i;
    while (i < s.size() && ((s[i] >= '0' && s[i] <= '9') || s[i] == '.')) i++;
    if (i == b || i == s.size() || i - b > 12) return false;
    while (field < 4 && !(kFields[field].unit == s[i] && kFields[field].in_time == in_time)) field++;
    if (field == 4 || (kFields[field].unit != 'S' && s.find('.', b) < i)) return false;
    double v = 0;
    std::from_chars_result r = std::from_chars(s.data() + b, s.data() + i, v);
    if (r.ec != std::errc() || r.ptr != s.data() + i) return false;
    total += v * kFields[field].seconds;
    field++;
    i++;
  }
  *out = std::fmin(total, 86400);
  return true;
}

PtzAbilities read_ptz_options(const OnvifAnswer& a) {
  PtzAbilities c;
  pugi::xml_node o = path(a.body, {"GetConfigurationOptionsResponse", "PTZConfigurationOptions"});
  c.spaces = read_spaces(child(o, "Spaces"));
  pugi::xml_node t = child(o, "PTZTimeout");
  c.has_timeout = duration_seconds(text(child(t, "Min")), &c.timeout.min) &&
                  duration_seconds(text(child(t, "Max")), &c.timeout.max) && c.timeout.min <= c.timeout.max;
  if (!c.has_timeout) c.timeout = PtzRange();
  return c;
}

PtzAbilities read_ptz_node(const OnvifAnswer& a) {
  PtzAbilities c;
  pugi::xml_node node = path(a.body, {"GetNodeResponse", "PTZNode"});
  c.spaces = read_spaces(child(node, "SupportedPTZSpaces"));
  c.max_presets = static_cast<int>(number(child(node, "MaximumNumberOfPresets"), 0, 100000, 0));
  return c;
}

PtzProfile read_ptz_profile(const OnvifAnswer& a, const std::string& profile_token) {
  PtzProfile p;
  pugi::xml_node r = child(a.body, "GetProfilesResponse");
  pugi::xml_node n = r.first_child();
  while (n && !(is(n, "Profiles") && profile_token == n.attribute("token").value())) n = n.next_sibling();
  pugi::xml_node c = child(n, "PTZConfiguration");
  if (!c) return p;
  bounded(c.attribute("token").value(), &p.configuration);
  bounded(text(child(c, "NodeToken")), &p.node);
  // The schema's own misspelling, and the spelling some cameras use instead.
  pugi::xml_node pt = child(c, "DefaultAbsolutePantTiltPositionSpace");
  bounded(text(pt ? pt : child(c, "DefaultAbsolutePanTiltPositionSpace")), &p.default_absolute_pan_tilt);
  bounded(text(child(c, "DefaultAbsoluteZoomPositionSpace")), &p.default_absolute_zoom);
  bounded(text(child(c, "DefaultContinuousPanTiltVelocitySpace")), &p.default_continuous_pan_tilt);
  bounded(text(child(c, "DefaultContinuousZoomVelocitySpace")), &p.default_continuous_zoom);
  return p;
}

std::vector<PtzPreset> read_ptz_presets(const OnvifAnswer& a) {
  std::vector<PtzPreset> out;
  pugi::xml_node r = child(a.body, "GetPresetsResponse");
  for (pugi::xml_node n = r.first_child(); n && out.size() < kPtzMaxPresets; n = n.next_sibling()) {
    PtzPreset p;
    if (is(n, "Preset") && bounded(n.attribute("token").value(), &p.token) && !p.token.empty() &&
        bounded(text(child(n, "Name")), &p.name)) {
      out.push_back(std::move(p));
    }
  }
  return out;
}

std::string read_ptz_preset_token(const OnvifAnswer& a) {
  std::string token;
  bounded(text(path(a.body, {"SetPresetResponse", "PresetToken"})), &token);
  return token;
}

PtzAbilities ptz_abilities_merge(const PtzAbilities& options, const PtzAbilities& node) {
  PtzAbilities c = options;
  for (const auto& kind : kSpaceKinds) {
    if ((c.spaces.*kind.list).empty()) c.spaces.*kind.list = node.spaces.*kind.list;
  }
  c.max_presets = node.max_presets;
  return c;
}

// ---- Commands

// The generic space when listed, else the first one; null when none is.
static const PtzSpace* generic_or_first(const std::vector<PtzSpace>& list, const char* generic) {
  for (const PtzSpace& s : list) {
    if (s.uri == generic) return &s;
  }
  return list.empty() ? nullptr : &list.front();
}

static const PtzSpace* listed(const std::vector<PtzSpace>& list, const std::string& uri) {
  for (const PtzSpace& s : list) {
    if (s.uri == uri) return &s;
  }
  return nullptr;
}

static double clamped(double v, double lo, double hi) { return v < lo ? lo : v > hi ? hi : v; }

// A command's value in [lo, 1] (NaN taken as 0), so that no product below
// overflows or turns NaN.
static double unit(double v, double lo) { return std::isnan(v) ? 0 : clamped(v, lo, 1); }

// A speed -1..1 scaled by its sign, so that a range's zero stays still: a
// 0..360 range gets no negative, a -90..90 one its full span either way.
static double by_sign(double v, const PtzRange& r) {
  v = unit(v, -1);
  return clamped(v > 0 ? v * r.max : v < 0 ? v * -r.min : 0, r.min, r.max);
}

// A value lo..1 (lo being -1 or 0) spread linearly over the range.
static double linear(double v, double lo, const PtzRange& r) {
  double t = (unit(v, lo) - lo) / (1 - lo);
  return clamped(r.min * (1 - t) + r.max * t, r.min, r.max);
}

bool ptz_velocity(const PtzAbilities& c, double pan, double tilt, double zoom, bool with_timeout, PtzCall* out) {
  const PtzSpace* pt = generic_or_first(c.spaces.continuous_pan_tilt, kPanTiltVelocityGeneric);
  const PtzSpace* z = generic_or_first(c.spaces.continuous_zoom, kZoomVelocityGeneric);
  if (!pt && !z) return false;
  out->action = PtzCall::kContinuousMove;
  out->has_speed = false;
  out->has_pan_tilt = pt != nullptr;
  if (pt) {
    out->pan = by_sign(pan, pt->x);
    out->tilt = by_sign(tilt, pt->y);
    out->pan_tilt_space = pt->uri;
  }
  out->has_zoom = z != nullptr;
  if (z) {
    out->zoom = by_sign(zoom, z->x);
    out->zoom_space = z->uri;
  }
  out->timeout_s = 0;
  if (with_timeout && c.has_timeout) {
    // The move ends by itself should our Stop be lost, as soon as the camera allows.
    double t = std::fmax(1, std::ceil(c.timeout.min));
    if (c.timeout.max >= 1) t = std::fmin(t, std::floor(c.timeout.max));
    out->timeout_s = static_cast<int>(t);
  }
  return true;
}

// The generic position space, else the profile's default when the camera lists it.
static const PtzSpace* position_space(const std::vector<PtzSpace>& list, const char* generic,
                                      const std::string& fallback) {
  const PtzSpace* s = listed(list, generic);
  return s ? s : listed(list, fallback);
}

bool ptz_pan_tilt_position(const PtzAbilities& c, const PtzProfile& p, double pan, double tilt, PtzCall* out) {
  const PtzSpace* s = position_space(c.spaces.absolute_pan_tilt, kPanTiltPositionGeneric, p.default_absolute_pan_tilt);
  if (!s) return false;
  out->action = PtzCall::kAbsoluteMove;
  out->has_pan_tilt = true;
  out->pan = linear(pan, -1, s->x);
  out->tilt = linear(tilt, -1, s->y);
  out->pan_tilt_space = s->uri;
  return true;
}

bool ptz_zoom_position(const PtzAbilities& c, const PtzProfile& p, double zoom, PtzCall* out) {
  const PtzSpace* s = position_space(c.spaces.absolute_zoom, kZoomPositionGeneric, p.default_absolute_zoom);
  if (!s) return false;
  out->action = PtzCall::kAbsoluteMove;
  out->has_zoom = true;
  out->zoom = linear(zoom, 0, s->x);
  out->zoom_space = s->uri;
  return true;
}

void ptz_goto_speed(const PtzAbilities& c, double speed, PtzCall* out) {
  const PtzSpace* pt = generic_or_first(c.spaces.pan_tilt_speed, kPanTiltSpeedGeneric);
  const PtzSpace* z = generic_or_first(c.spaces.zoom_speed, kZoomSpeedGeneric);
  if (!(speed > 0) || (!pt && !z)) return;
  out->has_speed = true;
  out->has_pan_tilt = pt != nullptr;
  if (pt) {
    out->pan = out->tilt = linear(speed, 0, pt->x);
    out->pan_tilt_space = pt->uri;
  }
  out->has_zoom = z != nullptr;
  if (z) {
    out->zoom = linear(speed, 0, z->x);
    out->zoom_space = z->uri;
  }
}

std::string ptz_preset_name(int index) { return "ndi-" + std::to_string(index); }
