#include "check/check_api.h"

#include <mutex>

#include <nlohmann/json.hpp>

#include "check/kept_work.h"

namespace {

// Never destroyed: a connection thread may still read it while the program exits.
std::mutex& gLock = *new std::mutex;
CheckRunner gRunner = nullptr;

}  // namespace

void check_api_runner(CheckRunner runner) {
  std::lock_guard<std::mutex> lock(gLock);
  gRunner = runner;
}

CheckStart check_api_start(const CheckAsk& ask, std::string* id) {
  CheckRunner runner;
  {
    std::lock_guard<std::mutex> lock(gLock);
    runner = gRunner;
  }
  if (!runner) return CheckStart::kFailed;
  auto check = [runner, ask]() -> WorkResult { return std::make_shared<const CheckResult>(runner(ask)); };
  switch (work_start(WorkKind::kCheck, kChecksAtOnce, check, id)) {
    case WorkStart::kStarted: return CheckStart::kStarted;
    case WorkStart::kBusy: return CheckStart::kBusy;
    case WorkStart::kFailed: break;
  }
  return CheckStart::kFailed;
}

bool check_api_find(const std::string& id, std::shared_ptr<const CheckResult>* result) {
  WorkResult kept;
  if (!work_find(WorkKind::kCheck, id, &kept)) return false;
  *result = std::static_pointer_cast<const CheckResult>(kept);
  return true;
}

std::string check_api_answer(const std::string& id, const std::shared_ptr<const CheckResult>& result) {
  using Json = nlohmann::json;
  Json body;
  if (!result) {
    body["state"] = "running";
  } else if (!result->ok) {
    body["ok"] = false;
    body["reason"] = result->reason;
    body["message"] = result->message;
    body["detail"] = result->detail;
  } else {
    const CheckResult& r = *result;
    body["ok"] = true;
    body["video"] = {{"codec", r.video_codec}, {"width", r.width}, {"height", r.height}, {"fps", r.fps}};
    body["audio"] = r.has_audio ? Json{{"codec", r.audio_codec}, {"rate", r.rate}, {"channels", r.channels}} : Json();
    body["snapshot"] = r.snapshot.empty() ? Json() : Json("/api/check/snapshot?id=" + id);
  }
  // The decoder's text may hold bytes that are not UTF-8.
  return body.dump(-1, ' ', false, Json::error_handler_t::replace);
}
