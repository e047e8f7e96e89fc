#include "ptz/ptz_queue.h"

#include <algorithm>
#include <cmath>

namespace {

// A number member of a ptz line, clamped to lo..hi; false when it is missing
// or not a finite number (the tool never writes one, but nothing here trusts it).
bool number(const Json& event, const char* key, double lo, double hi, double* out) {
  if (!event.contains(key) || !event[key].is_number()) return false;
  double v = event[key].get<double>();
  if (!std::isfinite(v)) return false;
  *out = std::min(hi, std::max(lo, v));
  return true;
}

PtzReport replaced_report(const std::string& command) { return {command, "replaced", "", ""}; }

bool carries(const PtzOrder& o, const std::string& command) {
  return std::find(o.commands.begin(), o.commands.end(), command) != o.commands.end();
}

}  // namespace

void PtzQueue::queue_stop(const char* command, bool moves_only, std::vector<PtzReport>* replaced) {
  for (auto it = waiting_.begin(); it != waiting_.end();) {
    bool drop = it->kind == PtzOrder::kMove || (!moves_only && it->kind != PtzOrder::kStop);
    if (!drop) {
      ++it;
      continue;
    }
    for (const std::string& c : it->commands) replaced->push_back(replaced_report(c));
    it = waiting_.erase(it);
  }
  for (PtzOrder& o : waiting_) {
    if (o.kind == PtzOrder::kStop) {
      if (!carries(o, command)) o.commands.push_back(command);
      return;
    }
  }
  PtzOrder stop;
  stop.kind = PtzOrder::kStop;
  stop.commands = {command};
  waiting_.push_back(stop);
}

void PtzQueue::put(const Json& event, double now, std::vector<PtzReport>* replaced) {
  if (!event.contains("command") || !event["command"].is_string()) return;
  const std::string& command = event["command"].get_ref<const std::string&>();
  PtzOrder o;
  o.commands = {command};
  if (command == "pan_tilt_speed" || command == "zoom_speed") {
    double a = 0, b = 0;
    if (command == "pan_tilt_speed") {
      if (!number(event, "pan_speed", -1, 1, &a) || !number(event, "tilt_speed", -1, 1, &b)) return;
      pan_ = a;
      tilt_ = b;
    } else {
      if (!number(event, "zoom_speed", -1, 1, &a)) return;
      zoom_ = a;
    }
    last_speed_at_ = now;
    if (pan_ == 0 && tilt_ == 0 && zoom_ == 0) {
      renew_ = false;
      queue_stop(command.c_str(), true, replaced);
      return;
    }
    // One move carries all three speeds as they stand when it is sent.
    for (PtzOrder& w : waiting_) {
      if (w.kind != PtzOrder::kMove) continue;
      if (carries(w, command)) {
        replaced->push_back(replaced_report(command));
      } else {
        w.commands.push_back(command);
      }
      return;
    }
    o.kind = PtzOrder::kMove;
  } else if (command == "pan_tilt") {
    if (!number(event, "pan", -1, 1, &o.pan) || !number(event, "tilt", -1, 1, &o.tilt)) return;
    o.kind = PtzOrder::kPanTilt;
  } else if (command == "zoom") {
    if (!number(event, "zoom", 0, 1, &o.zoom)) return;
    o.kind = PtzOrder::kZoom;
  } else if (command == "store_preset" || command == "recall_preset") {
    double index = 0;
    if (!number(event, "index", 0, 99, &index)) return;
    o.index = static_cast<int>(index);
    o.kind = command == "store_preset" ? PtzOrder::kStore : PtzOrder::kRecall;
    if (o.kind == PtzOrder::kRecall && !number(event, "speed", 0, 1, &o.speed)) o.speed = 0;
    // A camera sets no preset while it moves: it is stopped first, where it is.
    if (o.kind == PtzOrder::kStore && (maybe_moving_ || pan_ != 0 || tilt_ != 0 || zoom_ != 0)) {
      pan_ = tilt_ = zoom_ = 0;
      renew_ = false;
      queue_stop("stop", true, replaced);
    }
  } else if (command == "focus" || command == "focus_speed" || command == "white_balance" || command == "exposure") {
    o.kind = PtzOrder::kUnsupported;
  } else {
    return;
  }
  // A newer command of the same kind takes a waiting one's place; presets
  // stored at two indexes are two commands.
  for (PtzOrder& w : waiting_) {
    if (w.kind == o.kind && w.commands == o.commands && (o.kind != PtzOrder::kStore || w.index == o.index)) {
      replaced->push_back(replaced_report(command));
      w = o;
      return;
    }
  }
  waiting_.push_back(o);
}

void PtzQueue::stop(std::vector<PtzReport>* replaced) {
  pan_ = tilt_ = zoom_ = 0;
  renew_ = false;
  if (maybe_moving_) {
    queue_stop("stop", false, replaced);
    return;
  }
  for (const PtzOrder& o : waiting_)
    for (const std::string& c : o.commands) replaced->push_back(replaced_report(c));
  waiting_.clear();
}

bool PtzQueue::take(double now, PtzOrder* out, double* wake) {
  bool speeding = pan_ != 0 || tilt_ != 0 || zoom_ != 0;
  if (waiting_.empty() && speeding && maybe_moving_ && now >= last_speed_at_ + kPtzSpeedSilence) {
    // The receivers that held this speed are gone, or have forgotten it.
    pan_ = tilt_ = zoom_ = 0;
    renew_ = false;
    std::vector<PtzReport> none;
    queue_stop("stop", true, &none);
  }
  if (!waiting_.empty()) {
    *out = waiting_.front();
    waiting_.pop_front();
    if (out->kind == PtzOrder::kMove) {
      out->pan = pan_;
      out->tilt = tilt_;
      out->zoom = zoom_;
      maybe_moving_ = true;
    }
    return true;
  }
  if (speeding && renew_ && now >= renew_at_) {
    // A renewal answers no command of its own.
    *out = PtzOrder();
    out->kind = PtzOrder::kMove;
    out->pan = pan_;
    out->tilt = tilt_;
    out->zoom = zoom_;
    return true;
  }
  if (speeding && maybe_moving_) {
    *wake = std::min(*wake, last_speed_at_ + kPtzSpeedSilence);
    if (renew_) *wake = std::min(*wake, renew_at_);
  }
  return false;
}

void PtzQueue::done(const PtzOrder& order, PtzResult result, int move_seconds, double now) {
  if (order.kind == PtzOrder::kMove) {
    renew_ = result == PtzResult::kOk && move_seconds > 0;
    renew_at_ = now + move_seconds / 2.0;
  } else if (order.kind == PtzOrder::kStop && result == PtzResult::kOk) {
    maybe_moving_ = false;
    renew_ = false;
  }
}
