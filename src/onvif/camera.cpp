#include "camera.h"

#include <algorithm>
#include <chrono>

#include "readdress.h"
#include "requests.h"

static const int kCameraSeconds = 20;

namespace {

struct Asker {
  std::string device_url;
  Credentials credentials;
  UsernameToken token;
  std::chrono::steady_clock::time_point deadline;
  int call_seconds;
  CameraReport* report;

  // One call; the answer, or null with the report's error set (a refusal
  // ends every later call: the camera would count each as a failed log-in).
  // signed_in adds the WS-UsernameToken; HTTP Digest is answered whenever the
  // camera asks for it.
  OnvifAnswerPtr call(const std::string& url, const char* ns, const std::string& action, bool signed_in,
                      const char* token_element = nullptr, const std::string& token_value = std::string(),
                      CallOutcome* outcome = nullptr) {
    const UsernameToken* t = signed_in ? &token : nullptr;
    auto body = [&] { return soap_request(action, ns, token_value, token_element, t); };
    auto until = deadline;
    if (call_seconds > 0) until = std::min(until, std::chrono::steady_clock::now() + std::chrono::seconds(call_seconds));
    CallOutcome o = soap_call(url, body, std::string(ns) + "/" + action, &credentials, until);
    if (!o.answer) {
      report->refused = o.refused;
      report->error = action + " at " + url + ": " + o.why;
    }
    OnvifAnswerPtr answer = std::move(o.answer);
    if (outcome) *outcome = std::move(o);
    return answer;
  }
};

// Where the camera's addresses lead: each service it names off our networks,
// or that does not answer as named, is asked at the host and port that
// answered for the device; once one is, the stream and snapshot addresses
// that name the same host get the answering one.
struct Reach {
  HttpAddress answered;
  const std::vector<Ipv4Interface>* networks;
  std::string stale_host;  // the host the camera names that does not reach it

  bool off(const std::string& url) const {
    HttpAddress a;
    return http_address_read(url, &a) && (a.host != answered.host || a.port != answered.port) &&
           !host_reachable(a.host, *networks);
  }
  std::string service(const std::string& url) {
    if (!off(url) && (stale_host.empty() || url_host(url) != stale_host)) return url;
    if (stale_host.empty()) stale_host = url_host(url);
    return service_at(url, answered);
  }
  std::string media(const std::string& url) const {
    std::string host = url_host(url);
    if (host.empty() || host == answered.host) return url;
    if ((!stale_host.empty() && host == stale_host) || !host_reachable(host, *networks)) {
      return url_with_host(url, answered.host);
    }
    return url;
  }
};

}  // namespace

CameraReport camera_ask(const std::string& device_url, const Credentials& credentials,
                        const std::vector<Ipv4Interface>& networks, const CameraAskOptions& options) {
  CameraReport r;
  Asker a{device_url, credentials, UsernameToken{credentials.user, credentials.password, 0},
          std::chrono::steady_clock::now() + std::chrono::seconds(kCameraSeconds), options.call_seconds, &r};
  Reach reach{HttpAddress(), &networks, std::string()};
  if (!http_address_read(device_url, &reach.answered)) {
    r.error = "its address is not an http:// address";
    return r;
  }

  // The camera's clock first, without a UsernameToken: every later one is
  // dated on it, so that a camera hours off still takes our digests. A camera
  // that asks HTTP Digest for everything gets it here too.
  auto sent = std::chrono::system_clock::now();
  CallOutcome time;
  OnvifAnswerPtr ans = a.call(device_url, kDeviceNs, "GetSystemDateAndTime", false, nullptr, std::string(), &time);
  if (!ans) {
    // Only the user's credentials refused count: a camera that wants a
    // UsernameToken even for its clock (or HTTP Basic, which is never sent)
    // is asked the rest on our clock.
    if (!time.answered || (time.refused && time.digest_sent)) return r;
    r.error.clear();
    r.refused = false;
  }
  int64_t camera_now;
  if (ans && read_system_time(*ans, &camera_now)) {
    auto back = std::chrono::system_clock::now();
    auto mid = sent + (back - sent) / 2;
    int64_t ours = std::chrono::duration_cast<std::chrono::seconds>(mid.time_since_epoch()).count();
    r.has_offset = true;
    r.clock_offset = camera_now - ours;
    a.token.camera_offset = r.clock_offset;
  }

  ans = a.call(device_url, kDeviceNs, "GetDeviceInformation", true);
  if (!ans) return r;
  r.has_info = true;
  r.info = read_device_info(*ans);

  // The media service's address: GetServices, or GetCapabilities on devices
  // older than it. A refusal here is final; any other failure tries the older.
  ServiceAddresses services;
  ans = a.call(device_url, kDeviceNs, "GetServices", true);
  if (!ans && r.refused) return r;
  if (ans) services = read_services(*ans);
  if (services.media.empty()) {
    r.error.clear();
    ans = a.call(device_url, kDeviceNs, "GetCapabilities", true);
    if (!ans) return r;
    services = read_capabilities(*ans);
  }
  if (services.media.empty()) {
    r.error = "it names no media service";
    return r;
  }

  std::string media = reach.service(services.media);
  CallOutcome profiles;
  ans = a.call(media, kMediaNs, "GetProfiles", true, nullptr, std::string(), &profiles);
  std::string at_device = service_at(services.media, reach.answered);
  if (!ans && !profiles.answered && media != at_device) {
    // Nothing answers where the camera says: the address that reached it.
    reach.stale_host = url_host(media);
    media = at_device;
    ans = a.call(media, kMediaNs, "GetProfiles", true);
  }
  if (!ans) return r;
  if (!services.ptz.empty()) r.ptz_service = reach.service(services.ptz);
  if (options.profiles) options.profiles(*ans);
  for (MediaProfile& p : read_profiles(*ans)) {
    CameraProfile cp;
    cp.profile = std::move(p);
    r.profiles.push_back(std::move(cp));
  }
  for (CameraProfile& cp : r.profiles) {
    if (!options.media_addresses) break;
    ans = a.call(media, kMediaNs, "GetStreamUri", true, "ProfileToken", cp.profile.token);
    if (!ans) {
      if (r.refused) return r;
      continue;  // one profile without a stream (a metadata-only one) spoils no other
    }
    cp.stream = reach.media(read_media_uri(*ans));
    ans = a.call(media, kMediaNs, "GetSnapshotUri", true, "ProfileToken", cp.profile.token);
    if (!ans) {
      if (r.refused) return r;
      continue;
    }
    cp.snapshot = reach.media(read_media_uri(*ans));
  }
  // Errors of single profiles are not the camera's: what it gave is reported.
  if (!r.refused && !r.profiles.empty()) r.error.clear();
  return r;
}
