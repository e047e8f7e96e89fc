// The PTZ service's calls (ONVIF ver20 PTZ): the requests we write, the
// answers' readers, and what a receiver's command becomes against the ranges
// a camera lists. Pure text work; ptz_camera.h makes the calls.
#pragma once
#include <string>
#include <vector>

#include "answers.h"
#include "requests.h"

extern const char kPtzNs[];  // http://www.onvif.org/ver20/ptz/wsdl

enum {
  kPtzMaxSpaces = 16,    // of each kind, in one answer
  kPtzMaxPresets = 256,  // read from GetPresets
  kPtzPresetNameMax = 64,
};

struct PtzRange {
  double min = 0, max = 0;
};

// One coordinate space a camera lists: its URI and the ranges of its axes
// (y only for pan-tilt spaces).
struct PtzSpace {
  std::string uri;
  PtzRange x, y;
};

// The spaces of each kind, in the order the camera lists them.
struct PtzSpaces {
  std::vector<PtzSpace> absolute_pan_tilt, absolute_zoom;
  std::vector<PtzSpace> continuous_pan_tilt, continuous_zoom;
  std::vector<PtzSpace> pan_tilt_speed, zoom_speed;
};

// What GetConfigurationOptions and GetNode tell: the spaces (the options'
// where they list any of a kind, else the node's), the Timeout range in
// seconds (has_timeout false when the options give none) and how many presets
// the node holds (0: it does not say).
struct PtzAbilities {
  PtzSpaces spaces;
  bool has_timeout = false;
  PtzRange timeout;
  int max_presets = 0;
};

// The PTZ configuration of a profile in GetProfiles: its configuration's token and
// node token, and its default spaces (either spelling of the schema's
// DefaultAbsolutePantTiltPositionSpace).
struct PtzProfile {
  std::string configuration, node;
  std::string default_absolute_pan_tilt, default_absolute_zoom;
  std::string default_continuous_pan_tilt, default_continuous_zoom;
};

struct PtzPreset {
  std::string token, name;
};

// One PTZ request, written by ptz_request. Numbers are written with a "."
// whatever the locale.
struct PtzCall {
  enum Action {
    kGetConfigurationOptions,  // token: the configuration
    kGetNode,                  // token: the node
    kGetPresets,               // profile
    kContinuousMove,           // profile, velocity (pan_tilt and/or zoom), timeout_s when above 0
    kStop,                     // profile, PanTilt and Zoom true
    kAbsoluteMove,             // profile, position (pan_tilt and/or zoom)
    kSetPreset,                // profile, preset_name, token (a preset's, to overwrite it) when not empty
    kGotoPreset,               // profile, token (the preset's), speed (pan_tilt and zoom) when has_speed
  };
  Action action = kGetPresets;
  std::string profile;      // ProfileToken
  std::string token;        // ConfigurationToken, NodeToken or PresetToken by the action
  std::string preset_name;  // SetPreset's PresetName
  bool has_pan_tilt = false;
  double pan = 0, tilt = 0;
  std::string pan_tilt_space;
  bool has_zoom = false;
  double zoom = 0;
  std::string zoom_space;
  bool has_speed = false;  // GotoPreset: pan_tilt/zoom above are the Speed
  int timeout_s = 0;       // ContinuousMove's Timeout (PTnS); 0: none
};

// The action's name ("ContinuousMove") and the SOAP envelope for call, with
// a WS-Security header when token is given (as soap_request). Empty when the
// system gives no random nonce.
const char* ptz_action_name(PtzCall::Action action);
std::string ptz_request(const PtzCall& call, const UsernameToken* token);

// The answers. Each reader keeps to the bounds above and drops a space with
// no URI or a range that is not two finite numbers with min <= max.
PtzProfile read_ptz_profile(const OnvifAnswer& a, const std::string& profile_token);  // GetProfiles
PtzAbilities read_ptz_options(const OnvifAnswer& a);  // GetConfigurationOptions
PtzAbilities read_ptz_node(const OnvifAnswer& a);     // GetNode (spaces, max_presets)
std::vector<PtzPreset> read_ptz_presets(const OnvifAnswer& a);
std::string read_ptz_preset_token(const OnvifAnswer& a);  // SetPreset's answer

// The options' spaces with the node's filling each kind the options leave empty.
PtzAbilities ptz_abilities_merge(const PtzAbilities& options, const PtzAbilities& node);

// What a command becomes. Each fills *out (action, spaces, numbers; the
// caller adds profile and tokens) and returns false when the camera lists
// nothing it could be sent in.
//
// Speeds -1..1: ContinuousMove in the generic velocity spaces where listed,
// else the first listed space of each kind; a speed is scaled by its sign
// into the range (v * max, or v * -min for a negative one), clamped. Zoom
// only with a continuous zoom space. Timeout: whole seconds, 1 or the
// range's minimum when larger, kept within a maximum of 1 or more (none when
// with_timeout is false or the options give no range).
bool ptz_velocity(const PtzAbilities& c, double pan, double tilt, double zoom, bool with_timeout, PtzCall* out);
// pan, tilt -1..1 (pan_tilt) or zoom 0..1: AbsoluteMove in the generic
// position space, or the profile's default absolute space when it is listed,
// scaled linearly into its range. Each sets only its own axis, so that both
// may go into one call.
bool ptz_pan_tilt_position(const PtzAbilities& c, const PtzProfile& p, double pan, double tilt, PtzCall* out);
bool ptz_zoom_position(const PtzAbilities& c, const PtzProfile& p, double zoom, PtzCall* out);
// GotoPreset's Speed (0..1, scaled linearly into the speed spaces): only
// where the camera lists a speed space and speed is above 0.
void ptz_goto_speed(const PtzAbilities& c, double speed, PtzCall* out);

// The name a switcher's preset index is stored under: "ndi-<index>".
std::string ptz_preset_name(int index);
