// What one camera tells of itself: the calls in order, within 20 s in all.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "answers.h"
#include "soap_call.h"
#include "udp.h"

struct CameraProfile {
  MediaProfile profile;
  std::string stream, snapshot;
};

struct CameraReport {
  bool has_info = false;
  DeviceInfo info;
  bool has_offset = false;
  int64_t clock_offset = 0;  // the camera's clock minus ours, in seconds
  std::string ptz_service;   // its PTZ service's address; empty when it names none
  std::vector<CameraProfile> profiles;
  bool refused = false;
  std::string error;  // why the camera could not be asked all; empty when it could
};

// How far camera_ask goes, and how long each call may take.
struct CameraAskOptions {
  bool media_addresses = true;  // GetStreamUri and GetSnapshotUri of every profile
  int call_seconds = 0;         // each call's limit within the 20 s; 0: soap_call's own
  // Sees GetProfiles' answer, for what more a caller reads from it.
  std::function<void(const OnvifAnswer&)> profiles;
};

// Asks the device service at device_url with the user's credentials (WS-
// UsernameToken, and HTTP Digest where it answers 401). Each address the
// camera names that cannot be reached as named (readdress.h; networks are
// ours) is moved onto the host that answered at device_url before it is used
// or reported.
CameraReport camera_ask(const std::string& device_url, const Credentials& credentials,
                        const std::vector<Ipv4Interface>& networks, const CameraAskOptions& options = {});
