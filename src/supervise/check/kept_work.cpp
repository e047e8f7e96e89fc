#include "check/kept_work.h"

#include <map>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#include "random_bytes.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Kept {
  WorkKind kind;
  WorkResult result;  // null while it runs
  Clock::time_point done{};
};

// Never destroyed: a connection thread may still use them while the program exits.
std::mutex& gLock = *new std::mutex;
std::map<std::string, Kept>& gKept = *new std::map<std::string, Kept>;
struct Worker {
  std::thread thread;
  std::shared_ptr<bool> ended;  // under gLock
};
std::vector<Worker>& gWorkers = *new std::vector<Worker>;  // every thread not yet joined
std::map<WorkKind, int>& gRunning = *new std::map<WorkKind, int>;
bool gStopped = false;

// Under gLock: results past their time go, then the oldest while too many are kept.
void forget_old(Clock::time_point now) {
  for (auto it = gKept.begin(); it != gKept.end();) {
    it = it->second.result && now - it->second.done >= kWorkKept ? gKept.erase(it) : std::next(it);
  }
  while (gKept.size() >= kWorkKeptMost) {
    auto oldest = gKept.end();
    for (auto it = gKept.begin(); it != gKept.end(); ++it) {
      if (it->second.result && (oldest == gKept.end() || it->second.done < oldest->second.done)) oldest = it;
    }
    if (oldest == gKept.end()) break;
    gKept.erase(oldest);
  }
}

// Thread body: one piece of work for the page.
void work_thread(std::string id, WorkKind kind, std::function<WorkResult()> work, std::shared_ptr<bool> ended) {
  WorkResult result = work();
  std::lock_guard<std::mutex> lock(gLock);
  --gRunning[kind];
  *ended = true;
  auto it = gKept.find(id);
  if (it == gKept.end()) return;
  it->second.result = std::move(result);
  it->second.done = Clock::now();
}

}  // namespace

WorkStart work_start(WorkKind kind, int at_once, std::function<WorkResult()> work, std::string* id) {
  std::string fresh;
  if (!random_hex(16, &fresh)) return WorkStart::kFailed;
  std::lock_guard<std::mutex> lock(gLock);
  if (gStopped) return WorkStart::kFailed;
  if (gRunning[kind] >= at_once) return WorkStart::kBusy;
  // The threads of work that has ended are joined here (at once: they are
  // past their last use of the lock).
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
  gKept[*id] = Kept{kind, nullptr, {}};
  try {
    auto ended = std::make_shared<bool>(false);
    gWorkers.push_back({std::thread(work_thread, *id, kind, std::move(work), ended), ended});
  } catch (const std::system_error&) {
    gKept.erase(*id);
    return WorkStart::kFailed;
  }
  ++gRunning[kind];
  return WorkStart::kStarted;
}

bool work_find(WorkKind kind, const std::string& id, WorkResult* result) {
  std::lock_guard<std::mutex> lock(gLock);
  forget_old(Clock::now());
  auto it = gKept.find(id);
  if (it == gKept.end() || it->second.kind != kind) return false;
  *result = it->second.result;
  return true;
}

void work_stop() {
  std::vector<Worker> workers;
  {
    std::lock_guard<std::mutex> lock(gLock);
    gStopped = true;
    workers.swap(gWorkers);
  }
  for (Worker& w : workers) w.thread.join();
}
