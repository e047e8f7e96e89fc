// The reader of the cameras' answers: SOAP 1.2 or 1.1 envelopes, elements
// matched by local name whatever prefixes a camera binds its namespaces to.
// Every answer is hostile input: its size, the devices and the profiles it may
// list are bounded, and nothing in it is trusted to be well formed.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

enum {
  kOnvifMaxAnswerBytes = 1 << 20,
  kOnvifMaxDevices = 64,
  kOnvifMaxProfiles = 32,
};

struct OnvifFault {
  bool present = false;
  bool not_authorized = false;  // the user name or password was refused
  std::string text;             // the camera's reason, for people
};

struct ProbeMatch {
  std::string endpoint;  // its EndpointReference address (urn:uuid:...)
  std::string scopes;    // space-separated URIs
  std::vector<std::string> xaddrs;
};

struct DeviceInfo {
  std::string maker, model, firmware, serial;
};

struct ServiceAddresses {
  std::string media, ptz;
};

struct MediaProfile {
  std::string name, token, video_source, encoding;
  int width = 0, height = 0;
  double rate = 0;
  bool ptz = false;               // it has a PTZ configuration
  std::string ptz_configuration;  // that configuration's token
};

struct OnvifAnswer;  // a parsed envelope; answers.cpp
struct OnvifAnswerDeleter {
  void operator()(OnvifAnswer* a) const;
};
using OnvifAnswerPtr = std::unique_ptr<OnvifAnswer, OnvifAnswerDeleter>;

// Parses text as a SOAP envelope with a Body. Null with *why when it is too
// large, not XML, or not such an envelope.
OnvifAnswerPtr onvif_answer_read(const std::string& text, std::string* why);

OnvifFault onvif_fault(const OnvifAnswer& a);

// The answers to each request; empty (or false) when the answer lacks them.
std::vector<ProbeMatch> read_probe_matches(const OnvifAnswer& a);
std::string read_relates_to(const OnvifAnswer& a);  // the WS-Addressing header: which request it answers
bool read_system_time(const OnvifAnswer& a, int64_t* utc_seconds);
DeviceInfo read_device_info(const OnvifAnswer& a);
ServiceAddresses read_services(const OnvifAnswer& a);
ServiceAddresses read_capabilities(const OnvifAnswer& a);
std::vector<MediaProfile> read_profiles(const OnvifAnswer& a);
std::string read_media_uri(const OnvifAnswer& a);
