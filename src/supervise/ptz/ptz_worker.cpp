#include "ptz/ptz_worker.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>


namespace {

using Clock = std::chrono::steady_clock;

double seconds_now() { return std::chrono::duration<double>(Clock::now().time_since_epoch()).count(); }

struct Worker {
  PtzSink sink;
  PtzTarget target;
  std::unique_ptr<PtzControl> camera;
  std::mutex lock;  // held only to queue and to take
  std::condition_variable wake;
  PtzQueue queue;
  bool last = false;  // ends once nothing is left to send
  bool done = false;  // its thread has ended
  std::condition_variable ended;
};

std::mutex gLock;  // the table's
std::map<const void*, std::shared_ptr<Worker>> gWorkers;
std::vector<std::shared_ptr<Worker>> gEnding;  // told to end, not yet seen to

void report(const Worker& w, PtzReport r) { w.sink(std::move(r)); }

void report_all(const Worker& w, const std::vector<PtzReport>& reports) {
  for (const PtzReport& r : reports) report(w, r);
}

// Sends one order; what it came to.
PtzOutcome send(PtzControl& camera, const PtzOrder& o) {
  switch (o.kind) {
    case PtzOrder::kMove: return camera.move(o.pan, o.tilt, o.zoom);
    case PtzOrder::kStop: return camera.stop();
    case PtzOrder::kPanTilt: return camera.pan_tilt(o.pan, o.tilt);
    case PtzOrder::kZoom: return camera.zoom(o.zoom);
    case PtzOrder::kStore: return camera.store(o.index);
    case PtzOrder::kRecall: return camera.recall(o.index, o.speed);
    case PtzOrder::kUnsupported: break;
  }
  PtzOutcome none;
  none.result = PtzResult::kNotSupported;
  none.why = "the camera's image settings are not changed from receivers";
  return none;
}

// Thread body: one camera's commands, until it is told it is the last and
// nothing is left. A refused password ends every call: cameras lock an
// account after a few, and the loop holds the source until its settings
// change or it is restarted.
void ptz_thread(std::shared_ptr<Worker> w) {
  std::string state = "ready";
  bool held = false;
  std::unique_lock<std::mutex> lock(w->lock);
  for (;;) {
    PtzOrder order;
    double wake = seconds_now() + 3600;
    if (!w->queue.take(seconds_now(), &order, &wake)) {
      if (w->last && w->queue.empty()) break;
      w->wake.wait_for(lock, std::chrono::duration<double>(std::max(0.0, wake - seconds_now())));
      continue;
    }
    lock.unlock();
    PtzOutcome o;
    if (held) {
      o.result = PtzResult::kRefused;
      o.why = "held: its user name or password was refused";
    } else {
      o = send(*w->camera, order);
    }
    lock.lock();
    w->queue.done(order, o.result, w->camera->move_seconds(), seconds_now());
    held = held || o.result == PtzResult::kRefused;
    state = held ? "held"
            : !w->camera->has_ptz() ? "no_ptz"
            : o.unreachable ? "unreachable"
            : w->queue.moving() ? "moving"
                                : "ready";
    // A renewal answers no command, and is said only when it fails.
    std::vector<std::string> commands = order.commands;
    if (commands.empty() && o.result != PtzResult::kOk) commands.push_back("renew");
    for (const std::string& c : commands) report(*w, {c, ptz_result_name(o.result), state, o.why});
  }
  w->done = true;
  w->ended.notify_all();
}

std::shared_ptr<Worker> start(const PtzTarget& target, const PtzSink& sink) {
  auto w = std::make_shared<Worker>();
  w->sink = sink;
  w->target = target;
  w->camera = ptz_camera(target);
  std::thread(ptz_thread, w).detach();
  return w;
}

// Tells w to stop its camera, and with last to end after that.
void stop_camera(const std::shared_ptr<Worker>& w, bool last) {
  std::vector<PtzReport> replaced;
  {
    std::lock_guard<std::mutex> l(w->lock);
    w->queue.stop(&replaced);
    if (last) w->last = true;
  }
  w->wake.notify_all();
  report_all(*w, replaced);
}

// Tells w to stop its camera and end; under gLock.
void retire(const std::shared_ptr<Worker>& w) {
  stop_camera(w, true);
  // Those that have ended are forgotten, so that months of runs keep none.
  auto ended = [](const std::shared_ptr<Worker>& e) {
    std::lock_guard<std::mutex> l(e->lock);
    return e->done;
  };
  gEnding.erase(std::remove_if(gEnding.begin(), gEnding.end(), ended), gEnding.end());
  gEnding.push_back(w);
}

}  // namespace

void ptz_workers_command(const void* key, const PtzTarget& target, const Json& event, const PtzSink& sink) {
  std::lock_guard<std::mutex> table(gLock);
  auto found = gWorkers.find(key);
  if (found != gWorkers.end() && !(found->second->target == target)) {
    retire(found->second);
    gWorkers.erase(found);
    found = gWorkers.end();
  }
  if (found == gWorkers.end()) found = gWorkers.emplace(key, start(target, sink)).first;
  std::shared_ptr<Worker> w = found->second;
  std::vector<PtzReport> replaced;
  {
    std::lock_guard<std::mutex> l(w->lock);
    w->queue.put(event, seconds_now(), &replaced);
  }
  w->wake.notify_all();
  report_all(*w, replaced);
}

void ptz_workers_stop(const void* key, bool last) {
  std::lock_guard<std::mutex> table(gLock);
  auto found = gWorkers.find(key);
  if (found == gWorkers.end()) return;
  std::shared_ptr<Worker> w = found->second;
  if (!last) return stop_camera(w, false);
  gWorkers.erase(found);
  retire(w);
}

void ptz_workers_end(double seconds) {
  std::vector<std::shared_ptr<Worker>> all;
  {
    std::lock_guard<std::mutex> table(gLock);
    for (auto& entry : gWorkers) retire(entry.second);
    gWorkers.clear();
    all.swap(gEnding);
  }
  auto until = Clock::now() + std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
  for (const std::shared_ptr<Worker>& w : all) {
    std::unique_lock<std::mutex> l(w->lock);
    w->ended.wait_until(l, until, [&] { return w->done; });
  }
}
