#include "check/camera_search.h"

#include <algorithm>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "check/kept_work.h"
#include "find_cameras.h"
#include "sources/sources_api.h"

namespace {

constexpr int kBodyDepth = 4;
constexpr size_t kCredentialMostBytes = 1024;

void (*gLog)(const std::string& line) = nullptr;

ApiAnswer refuse(int status, const std::string& why) { return {status, json_text(Json{{"error", why}})}; }

const char kShapes[] =
    "a search is {\"addresses\": [\"host[:port]\", ...], \"user\": \"...\", \"password\": \"...\"} (no addresses: "
    "the multicast search) or {\"source\": \"NAME\"}";

// Reads the request into *search and *what (for the log); empty, or the answer to give.
ApiAnswer read_request(const std::string& body, CameraSearch* search, std::string* what) {
  Json request;
  std::string why;
  bool refused = false;
  if (!json_parse(body, kBodyDepth, &request, &why, &refused) || !request.is_object()) return refuse(400, kShapes);
  for (auto it = request.begin(); it != request.end(); ++it) {
    if (it.key() != "addresses" && it.key() != "user" && it.key() != "password" && it.key() != "source") {
      return refuse(400, kShapes);
    }
  }
  if (request.contains("source")) {
    // The stored password goes to the stored camera only: never with an
    // address or an account the request names.
    if (request.size() != 1 || !request["source"].is_string()) return refuse(400, kShapes);
    const std::string& name = request["source"].get_ref<const std::string&>();
    SourceCamera camera;
    ApiAnswer found = sources_api_camera(name, &camera);
    if (found.status != 200) return found;
    HttpAddress device;
    if (!http_address_read(camera.device, &device)) return refuse(422, "the source's ONVIF device is no http:// address");
    search->addresses.push_back(device);
    search->ask = !camera.user.empty();
    search->credentials = Credentials{camera.user, camera.password};
    *what = "source " + Json(name).dump(-1, ' ', false, Json::error_handler_t::replace) + "'s camera";
    return {};
  }
  const Json& addresses = request.contains("addresses") ? request["addresses"] : Json::array();
  if (!addresses.is_array() || addresses.size() > kSearchAddressesMost) {
    return refuse(400, "\"addresses\" is a list of at most " + std::to_string(kSearchAddressesMost) + " cameras");
  }
  for (const Json& a : addresses) {
    HttpAddress h;
    if (!a.is_string() || !camera_address_read(a.get<std::string>(), &h)) {
      return refuse(400, "each of \"addresses\" is host or host:port");
    }
    search->addresses.push_back(h);
  }
  for (const char* key : {"user", "password"}) {
    if (request.contains(key) && (!request[key].is_string() ||
                                  request[key].get_ref<const std::string&>().size() > kCredentialMostBytes)) {
      return refuse(400, std::string("\"") + key + "\" is a string of at most " +
                             std::to_string(kCredentialMostBytes) + " bytes");
    }
  }
  search->credentials.user = request.contains("user") ? request["user"].get<std::string>() : std::string();
  search->credentials.password = request.contains("password") ? request["password"].get<std::string>() : std::string();
  if (search->credentials.user.empty() && !search->credentials.password.empty()) {
    return refuse(400, "a \"password\" needs a \"user\"");
  }
  search->ask = !search->credentials.user.empty();
  *what = search->addresses.empty() ? std::string("on the networks")
                                    : "at " + std::to_string(search->addresses.size()) +
                                          (search->addresses.size() == 1 ? " address" : " addresses");
  return {};
}

// Thread body: the search itself; its cameras by address, for a list that
// stays put from one search to the next, as GET /api/cameras gives them.
WorkResult search_thread(const CameraSearch& search, const std::string& client, const std::string& what) {
  std::vector<Json> cameras;
  std::mutex lock;
  std::string why;
  bool ran = find_cameras(
      search,
      [&](nlohmann::ordered_json camera) {
        std::lock_guard<std::mutex> hold(lock);
        cameras.push_back(std::move(camera));
      },
      &why);
  std::sort(cameras.begin(), cameras.end(), [](const Json& a, const Json& b) {
    return a.value("address", std::string()) < b.value("address", std::string());
  });
  size_t answered = 0;
  for (const Json& c : cameras) answered += c.contains("error") ? 0 : 1;
  Json body;
  if (!ran) {
    body["error"] = why;
    body["cameras"] = Json::array();
  } else {
    body["cameras"] = cameras;
  }
  if (gLog) {
    std::string line = "status page: " + client + " searched for cameras " + what + ": ";
    if (!ran) {
      line += why;
    } else {
      line += std::to_string(cameras.size()) + (cameras.size() == 1 ? " camera" : " cameras");
      if (search.ask) line += ", " + std::to_string(answered) + " told their profiles";
    }
    gLog(line);
  }
  // A camera's text may be any bytes: invalid UTF-8 is replaced.
  return std::make_shared<const std::string>(body.dump(-1, ' ', false, Json::error_handler_t::replace));
}

}  // namespace

void camera_search_init(void (*log)(const std::string& line)) { gLog = log; }

ApiAnswer camera_search_post(const std::string& body, const std::string& client) {
  CameraSearch search;
  std::string what;
  ApiAnswer refused = read_request(body, &search, &what);
  if (refused.status != 200) return refused;
  std::string id;
  auto work = [search, client, what]() -> WorkResult { return search_thread(search, client, what); };
  switch (work_start(WorkKind::kCameras, 1, work, &id)) {
    case WorkStart::kStarted: return {202, json_text(Json{{"id", id}})};
    case WorkStart::kBusy: return refuse(429, "a search for cameras runs already: try again when it has ended");
    case WorkStart::kFailed: break;
  }
  return refuse(503, "no search can be started just now");
}

ApiAnswer camera_search_get(const std::string& id) {
  WorkResult kept;
  if (!work_find(WorkKind::kCameras, id, &kept)) return refuse(404, "no such search (kept 10 minutes)");
  if (!kept) return {200, json_text(Json{{"state", "running"}})};
  return {200, *std::static_pointer_cast<const std::string>(kept)};
}
