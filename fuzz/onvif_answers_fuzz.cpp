// Fuzzes what a camera or any host on the network can send us: its SOAP
// answers (every reader over each, and the host of the address it names
// moved onto another) and its HTTP Digest challenges.
//
// The first input byte picks:
//  - even: the rest is an answer. Whatever it holds, the readers keep to
//    their bounds: at most 64 devices with at most 8 addresses each, at most
//    32 profiles each with a token, sizes and rates within their ranges.
//  - odd: the rest is WWW-Authenticate values, one a line. A challenge taken
//    has a nonce and an algorithm we answer, and gives an answer.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "answers.h"
#include "http_digest.h"
#include "readdress.h"

static void fail(const char* what) {
  fprintf(stderr, "onvif_answers_fuzz: %s\n", what);
  abort();
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
