// Finding ONVIF cameras: on the local networks (a WS-Discovery Probe out of
// every interface) or at given addresses (host or host:port), each camera
// described as one JSON object, and with credentials asked for its clock
// offset and its profiles with their stream and snapshot addresses.
//
// qor-ndi-supervise --find-cameras [--wait SECONDS] [--user USER] [ADDRESS...]
// writes one line per camera on stdout; with --user, the password is the
// first line of stdin.
#pragma once
#include <nlohmann/json.hpp>

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "soap_call.h"

struct CameraSearch {
  std::vector<HttpAddress> addresses;  // empty: the multicast search
  double wait_s = 3;                   // how long the multicast search listens
  bool ask = false;                    // ask each camera, with credentials
  Credentials credentials;
  size_t most_at_once = 8;             // cameras asked at the same time
};

// A camera's address as a person gives it, host or host:port, as its device
// service's; false for anything else.
bool camera_address_read(const std::string& text, HttpAddress* out);

// Calls each with every camera's object as it is done (from the search's own
// threads, maybe at the same time), and returns once all are. False with
// *why when no interface could be used.
bool find_cameras(const CameraSearch& search, const std::function<void(nlohmann::ordered_json)>& each,
                  std::string* why);

// args from "--find-cameras" on. Exit code: 0 when the search ran (whatever it
// found), 1 when no interface could be used, 64 for usage.
int find_cameras_main(const std::vector<std::string>& args);
