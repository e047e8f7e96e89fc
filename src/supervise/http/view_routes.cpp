#include "http/view_routes.h"

#include <chrono>
#include <cstdint>

#include <nlohmann/json.hpp>

#include "auth/view_links.h"
#include "http/answers.h"
#include "http/login_routes.h"
#include "utc_text.h"

namespace {

// Never destroyed: the server's threads may still use it while the program
// exits. Made before serving starts; none before (no view link opens anything).
ViewLinks* gViews = nullptr;

// Now in UTC seconds: a link's times are shown as moments, not as durations.
int64_t utc_now() {
  return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::system_clock::now().time_since_epoch())
      .count();
}

nlohmann::json link_json(const ViewLink& link) {
  return {{"id", link.id},
          {"name", link.name},
          {"created", utc_text(link.created)},
          {"last_used", link.last_used < 0 ? nlohmann::json() : nlohmann::json(utc_text(link.last_used))}};
}

void refuse(httplib::Response& res, int status, const std::string& why) {
  answer_json(res, status, {{"error", why}});
}

// The password's hash as it is now; the gate has checked the session against
// it, so it is there unless the file went away since.
bool current_hash(httplib::Response& res, std::string* encoded) {
  if (gViews && login_password_set(encoded) && !encoded->empty()) return true;
  refuse(res, 403, "log in first");
  return false;
}

}  // namespace

void view_routes_init(const StatusLogin& login) {
  gViews = new ViewLinks(view_links_path(login.password_file), login.write_file, login.log);
}

bool view_passed(const httplib::Request& req, const std::string& encoded) {
  if (!gViews || req.get_param_value_count("view") != 1) return false;
  return gViews->open(req.get_param_value("view"), encoded, utc_now(), req.path == "/status.json");
}

void answer_views_get(const httplib::Request&, httplib::Response& res, const std::string&) {
  std::string encoded;
  if (!current_hash(res, &encoded)) return;
  nlohmann::json views = nlohmann::json::array();
  for (const ViewLink& link : gViews->list(encoded)) views.push_back(link_json(link));
  answer_json(res, 200, {{"views", views}});
}

void answer_views_post(const httplib::Request& req, httplib::Response& res, const std::string&) {
  std::string encoded;
  if (!current_hash(res, &encoded)) return;
  nlohmann::json body = nlohmann::json::parse(req.body, nullptr, false);
  if (!body.is_object() || !body.contains("name") || !body["name"].is_string()) {
    return refuse(res, 400, "a view link is {\"name\": \"...\"}");
  }
  ViewLink link;
  std::string token, why;
  switch (gViews->create(body["name"].get<std::string>(), encoded, utc_now(), &link, &token, &why)) {
    case ViewMade::kBadName:
      return refuse(res, 400, why);
    case ViewMade::kFull:
      return refuse(res, 409, why);
    case ViewMade::kFailed:
      login_log("status page: no view link made: " + why);
      return refuse(res, 500, "no view link made: " + why);
    case ViewMade::kMade:
      break;
  }
  // The token is in this answer only: never in the log.
  login_log("status page: view link " + nlohmann::json(link.name).dump() + " (" + link.id + ") made from " +
            req.remote_addr);
  nlohmann::json out = link_json(link);
  out["link"] = "/?view=" + token;
  answer_json(res, 200, out);
}

void answer_views_delete(const httplib::Request& req, httplib::Response& res, const std::string&) {
  std::string encoded;
  if (!current_hash(res, &encoded)) return;
  if (req.get_param_value_count("id") != 1) return refuse(res, 400, "DELETE /api/views?id=ID");
  std::string id = req.get_param_value("id"), why;
  switch (gViews->revoke(id, encoded, &why)) {
    case ViewRevoked::kUnknown:
      return refuse(res, 404, "no such view link");
    case ViewRevoked::kFailed:
      login_log("status page: view link " + id + " not revoked: " + why);
      return refuse(res, 500, "the view link is not revoked: " + why);
    case ViewRevoked::kRevoked:
      break;
  }
  login_log("status page: view link " + id + " revoked from " + req.remote_addr);
  answer_json(res, 200, nlohmann::json::object());
}
