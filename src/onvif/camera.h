// What one camera tells of itself: the calls in order, within 20 s in all.
#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "answers.h"
#include "soap_call.h"

struct CameraProfile {
  MediaProfile profile;
  std::string stream, snapshot;
};

struct CameraReport {
  bool has_info = false;
  DeviceInfo info;
  bool has_offset = false;
  int64_t clock_offset = 0;  // the camera's clock minus ours, in seconds
  std::vector<CameraProfile> profiles;
  bool refused = false;
  std::string error;  // why the camera could not be asked all; empty when it could
};

// Asks the device service at device_url with the user's credentials (WS-
// UsernameToken, and HTTP Digest where it answers 401). readdress rewrites each
// address the camera gives (its media service, its streams) before it is
// used or reported: a camera found at an address other than the one it has
// kept names itself by the stale one.
CameraReport camera_ask(const std::string& device_url, const Credentials& credentials,
                        const std::function<std::string(const std::string&)>& readdress);
