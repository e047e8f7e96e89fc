#include "check/check_api.h"

#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "random_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Kept {
  std::shared_ptr<const CheckResult> result;  // null while it runs
  Clock::time_point done{};
};

// Never destroyed: a connection thread may still use them while the program exits.
std::mutex& gLock = *new std::mutex;
std::map<std::string, Kept>& gKept = *new std::map<std::string, Kept>;
struct Worker {
  std::thread thread;
  std::shared_ptr<bool> ended;  // under gLock
};
std::vector<Worker>& gWorkers = *new std::vector<Worker>;  // every check thread not yet joined
int gRunning = 0;
bool gStopped = false;
CheckRunner gRunner = nullptr;

// Under gLock: results past their time go, then the oldest while too many are kept.
void forget_old(Clock::time_point now) {
  for (auto it = gKept.begin(); it != gKept.end();) {
    it = it->second.result && now - it->second.done >= kCheckKept ? gKept.erase(it) : std::next(it);
  }
  while (gKept.size() >= kChecksKept) {
    auto oldest = gKept.end();
    for (auto it = gKept.begin(); it != gKept.end(); ++it) {
      if (it->second.result && (oldest == gKept.end() || it->second.done < oldest->second.done)) oldest = it;
    }
    if (oldest == gKept.end()) break;
    gKept.erase(oldest);
  }
}

// Thread body: one check for the page.
void page_check_thread(std::string id, CheckAsk ask, CheckRunner runner, std::shared_ptr<bool> ended) {
  auto result = std::make_shared<const CheckResult>(runner(ask));
  std::lock_guard<std::mutex> lock(gLock);
  --gRunning;
  *ended = true;
  auto it = gKept.find(id);
  if (it == gKept.end()) return;
  it->second.result = result;
  it->second.done = Clock::now();
}

}  // namespace

void check_api_runner(CheckRunner runner) {
  std::lock_guard<std::mutex> lock(gLock);
  gRunner = runner;
}

CheckStart check_api_start(const CheckAsk& ask, std::string* id) {
  std::string fresh;
  if (!random_hex(16, &fresh)) return CheckStart::kFailed;
  std::lock_guard<std::mutex> lock(gLock);
  if (!gRunner || gStopped) return CheckStart::kFailed;
  if (gRunning >= kChecksAtOnce) return CheckStart::kBusy;
  // The threads of checks that have ended are joined here (at once: they
  // are past their last use of the lock).
  for (auto it = gWorkers.begin(); it != gWorkers.end();) {
    if (*it->ended) {
      it->thread.join();
      it = gWorkers.erase(it);
    } else {
      ++it;
    }
  }
  forget_old(Clock::now());
  *id = fresh;
  gKept[*id] = Kept();
  try {
    auto ended = std::make_shared<bool>(false);
    gWorkers.push_back({std::thread(page_check_thread, *id, ask, gRunner, ended), ended});
  } catch (const std::system_error&) {
    gKept.erase(*id);
    return CheckStart::kFailed;
  }
  ++gRunning;
  return CheckStart::kStarted;
}

bool check_api_find(const std::string& id, std::shared_ptr<const CheckResult>* result) {
  std::lock_guard<std::mutex> lock(gLock);
  forget_old(Clock::now());
  auto it = gKept.find(id);
  if (it == gKept.end()) return false;
  *result = it->second.result;
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

void check_api_stop() {
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(gLock);
    gStopped = true;
    workers.swap(gWorkers);
  }
  for (Worker& w : workers) w.thread.join();
}
