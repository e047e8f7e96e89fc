#include "camera.h"

#include <chrono>

#include "requests.h"

static const int kCameraSeconds = 20;

namespace {

struct Asker {
  std::string device_url;
  Credentials credentials;
  UsernameToken token;
  std::chrono::steady_clock::time_point deadline;
  CameraReport* report;

  // One call; the answer, or null with the report's error set (a refusal
  // ends every later call: the camera would count each as a failed log-in).
  OnvifAnswerPtr call(const std::string& url, const char* ns, const std::string& action, bool signed_in,
                      const char* token_element = nullptr, const std::string& token_value = std::string(),
                      bool* answered = nullptr) {
    const UsernameToken* t = signed_in ? &token : nullptr;
    auto body = [&] { return soap_request(action, ns, token_value, token_element, t); };
    CallOutcome o = soap_call(url, body, std::string(ns) + "/" + action, signed_in ? &credentials : nullptr,
                              deadline);
    if (!o.answer) {
      report->refused = o.refused;
      report->error = o.why;
    }
    if (answered) *answered = o.answered;
    return std::move(o.answer);
  }
};

}  // namespace

CameraReport camera_ask(const std::string& device_url, const Credentials& credentials,
                        const std::function<std::string(const std::string&)>& readdress) {
  CameraReport r;
  Asker a{device_url, credentials, UsernameToken{credentials.user, credentials.password, 0},
          std::chrono::steady_clock::now() + std::chrono::seconds(kCameraSeconds), &r};

  // The camera's clock first, unsigned: every later UsernameToken is dated on
  // it, so that a camera hours off still takes our digests.
  auto sent = std::chrono::system_clock::now();
  // A camera that answers but will not tell its time unsigned (some want a
  // password for it too) is asked the rest on our clock.
  bool answered = false;
  OnvifAnswerPtr ans = a.call(device_url, kDeviceNs, "GetSystemDateAndTime", false, nullptr, std::string(), &answered);
  if (!ans && !answered) return r;
  r.error.clear();
  r.refused = false;  // a refusal of no credentials says nothing of the user's
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
  std::string media = readdress(services.media);

  ans = a.call(media, kMediaNs, "GetProfiles", true);
  if (!ans) return r;
  for (MediaProfile& p : read_profiles(*ans)) {
    CameraProfile cp;
    cp.profile = std::move(p);
    r.profiles.push_back(std::move(cp));
  }
  for (CameraProfile& cp : r.profiles) {
    ans = a.call(media, kMediaNs, "GetStreamUri", true, "ProfileToken", cp.profile.token);
    if (!ans) {
      if (r.refused) return r;
      continue;  // one profile without a stream (a metadata-only one) spoils no other
    }
    cp.stream = readdress(read_media_uri(*ans));
    ans = a.call(media, kMediaNs, "GetSnapshotUri", true, "ProfileToken", cp.profile.token);
    if (!ans) {
      if (r.refused) return r;
      continue;
    }
    cp.snapshot = readdress(read_media_uri(*ans));
  }
  // Errors of single profiles are not the camera's: what it gave is reported.
  if (!r.refused && !r.profiles.empty()) r.error.clear();
  return r;
}
