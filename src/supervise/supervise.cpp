#include "supervise.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <memory>

#include "inbox.h"
#include "json_line.h"
#include "notify.h"
#include "output.h"
#include "pictures.h"
#include "status.h"
#include "tool_run.h"

static const double kFirstWait = 1.0;    // seconds before the first start again
static const double kLongestWait = 60.0; // the doubling stops here
static const double kSteadyRun = 60.0;   // a run this long after its started line resets the wait
static const double kStopGrace = 10.0;   // how long a tool may take to end after its stdin closed
static const double kKillGrace = 5.0;    // how long to wait for the end of a killed tool's output
static const int kLineMaxDepth = 16;     // a tool's line nested deeper is no event line
static const uint32_t kCannotStart = 127;  // the code of "stopped" when the tool cannot be run at all

// One source, its settings and its current run.
struct Source {
  std::string name;
  SourceSettings settings;  // what a reload compares
  std::string masked_input;
  std::shared_ptr<ToolRun> proc;  // the running tool, or null
  bool has_due = false;           // to be started again at due
  double due = 0.0;
  double next_wait = kFirstWait;  // the wait before the next start again
  bool has_started = false;       // the current run wrote "started", at started_at
  double started_at = 0.0;
  std::chrono::steady_clock::time_point started_clock{};
  Json error;                     // the code of the current run's error line, or null
  double last_picture = 0.0;      // when the current run last reported pictures (or started)
  bool stalled = false;           // the current run was stopped by the watchdog
  bool has_stop = false;          // this program closed the current run's stdin at stop_at
  double stop_at = 0.0;
  bool has_killed = false;        // and killed its tool at killed_at
  double killed_at = 0.0;
  bool removed = false;           // gone from the file: end the run, then forget the source
  bool restart_now = false;       // its settings changed: start again as soon as the run has ended
  std::string state = "starting"; // as the status shows it
  double fps = 0.0;
  int64_t connections = 0;
  int32_t restarts = 0;
  int32_t stalls = 0;             // runs stopped by the watchdog
  // The last status line with pictures in any run: unlike last_picture, a
  // new run does not reset it, so that a source that stalls again and again
  // shows how long it has been without pictures.
  std::chrono::steady_clock::time_point seen_picture = std::chrono::steady_clock::now();
  bool has_exit = false;          // how the last run that ended, ended
  uint32_t exit_code = 0;
  Json last_error;                // its error code, "stalled", or null
  // What the monitor of the status page shows: from the current run's last
  // status line, and the newest picture of any run.
  bool has_level = false;
  double level[2] = {0.0, 0.0};
  bool program = false, preview = false;
  std::string picture_file;       // where its tools write its picture (empty: nowhere)
  PictureSeen picture;
  std::chrono::steady_clock::time_point picture_at{}, picture_same_since{};
};

using SourcePtr = std::shared_ptr<Source>;
using Sources = std::vector<SourcePtr>;

static bool gStatus = false;
static uint64_t gSourcesMade = 0;  // numbers each source's picture file

// Runs whose output has ended while their tool still runs (a tool may close its
// stdout before it exits): reaped from the loop as they end, never waited for.
static std::vector<std::pair<SourcePtr, std::shared_ptr<ToolRun>>> gEnding;

static double now_s() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

static SourcePtr make_source(const SourceEntry& entry) {
  auto s = std::make_shared<Source>();
  s->name = entry.name;
  s->settings = entry.settings;
  s->masked_input = entry.masked_input;
  s->picture_file = pictures_file(++gSourcesMade);
  return s;
}

static void write_event(const Source& s, Json fields) {
  Json line;
  line["source"] = s.name;
  for (auto it = fields.begin(); it != fields.end(); ++it) line[it.key()] = it.value();
  output_line(json_text(line));
}

static void start(const SourcePtr& s) {
  s->has_due = false;
  s->has_started = false;
  s->error = nullptr;
  s->stalled = false;
  s->has_stop = false;
  s->has_killed = false;
  s->fps = 0.0;
  s->connections = 0;
  s->has_level = s->program = s->preview = false;
  s->state = "starting";
  std::vector<std::string> argv = s->settings.argv;
  if (!s->picture_file.empty()) argv.insert(argv.end(), {"--monitor", s->picture_file});
  std::string why;
  s->proc = tool_start(argv, s, &why);
  if (!s->proc) {
    say(s->name + ": cannot run " + s->settings.argv[0] + ": " + why);
    Json fields;
    fields["event"] = "stopped";
    fields["code"] = kCannotStart;
    write_event(*s, std::move(fields));
    s->state = "stopped";
    s->has_exit = true;
    s->exit_code = kCannotStart;
    s->last_error = nullptr;
  }
}

// Bytes as Python shows them (b'...'), for a message about a line that is not one.
static std::string bytes_repr(const std::string& raw) {
  bool single = raw.find('\'') == std::string::npos || raw.find('"') != std::string::npos;
  char quote = single ? '\'' : '"';
  std::string out = "b";
  out += quote;
  for (unsigned char c : raw) {
    if (c == '\\' || c == (unsigned char)quote) {
      out += '\\';
      out += (char)c;
    } else if (c == '\t') {
      out += "\\t";
    } else if (c == '\n') {
      out += "\\n";
    } else if (c == '\r') {
      out += "\\r";
    } else if (c < 0x20 || c >= 0x7f) {
      char hex[8];
      snprintf(hex, sizeof hex, "\\x%02x", c);
      out += hex;
    } else {
      out += (char)c;
    }
  }
  return out + quote;
}

// A status line's level and tally, and the picture its tool wrote after the
// line before (the tool writes one after each line that counted pictures).
static void take_monitor(Source* s, const Json& status) {
  const Json* level = status.contains("level") ? &status["level"] : nullptr;
  s->has_level = level && level->is_array() && level->size() == 2 && (*level)[0].is_number() &&
                 (*level)[1].is_number();
  if (s->has_level) {
    s->level[0] = (*level)[0].get<double>();
    s->level[1] = (*level)[1].get<double>();
  }
  const Json* tally = status.contains("tally") ? &status["tally"] : nullptr;
  auto lit = [tally](const char* kind) {
    return tally && tally->is_object() && tally->contains(kind) && (*tally)[kind].is_boolean() &&
           (*tally)[kind].get<bool>();
  };
  s->program = lit("program");
  s->preview = lit("preview");
  uint64_t before = s->picture.hash;
  bool had = s->picture.any;
  if (pictures_look(s->picture_file, &s->picture)) {
    auto now = std::chrono::steady_clock::now();
    s->picture_at = now;
    if (!had || s->picture.hash != before) s->picture_same_since = now;
  }
}

// One line of a tool: written on with the source's name first. started,
// status and error of the current run are remembered for the watchdog, the
// status and the decision at the end of the run.
static void pass_on(const SourcePtr& s, const std::string& raw, bool current) {
  Json event;
  std::string why;
  bool too_deep = false;
  if (!json_parse(raw, kLineMaxDepth, &event, &why, &too_deep) || !event.is_object() || !event.contains("event") ||
      !event["event"].is_string()) {
    say(s->name + ": not an event line: " + bytes_repr(raw));
    return;
  }
  if (current) {
    double now = now_s();
    const std::string& kind = event["event"].get_ref<const std::string&>();
    if (kind == "started") {
      s->has_started = true;
      s->started_at = s->last_picture = now;
      s->started_clock = std::chrono::steady_clock::now();
      if (s->state == "starting") s->state = "running";
    } else if (kind == "status") {
      const Json fps = event.contains("fps") ? event["fps"] : Json();
      const Json connections = event.contains("connections") ? event["connections"] : Json();
      // A boolean counts as a number here, as it did for the script.
      s->fps = fps.is_number() ? fps.get<double>() : fps.is_boolean() ? (fps.get<bool>() ? 1.0 : 0.0) : 0.0;
      s->connections = connections.is_number_integer()
                           ? connections.get<int64_t>()
                           : connections.is_boolean() ? (connections.get<bool>() ? 1 : 0) : 0;
      // A status line covers the 2 s before it: any picture in them means
      // the source is alive.
      if (s->fps > 0) {
        s->last_picture = now;
        s->seen_picture = std::chrono::steady_clock::now();
      }
      take_monitor(s.get(), event);
    } else if (kind == "error") {
      s->error = event.contains("code") ? event["code"] : Json();
    }
  }
  write_event(*s, std::move(event));
}

static bool worth_another_run(uint32_t code, const Json& error) {
  if (code == 1) return true;  // the source ended, or the decoder failed
  if (code == 3 && error == "ffmpeg_connect") return true;  // the source could not be reached
  return code > 128;  // ended by a signal from elsewhere
}

// Asks the tool to stop: it ends its decoder and writes its exit line.
static void stop(Source* s, double now) {
  if (s->has_stop) return;
  s->has_stop = true;
  s->stop_at = now;
  child_close_stdin(&s->proc->child);
}

// Ends a tool that did not stop in time: SIGKILL to its process group (the
// session it was started in). The decoder runs in a process group of its own
// and is not reached by this; it goes by its binding to the tool once the tool
// is killed.
static void kill_tool(Source* s, double now) {
  say(s->name + ": still running 10 s after its stdin closed; killed");
  s->has_killed = true;
  s->killed_at = now;
  child_kill(&s->proc->child);
}

// The tool of s has ended: start it again now, later, or never.
static void run_ended(const SourcePtr& s, Sources* sources, double now) {
  uint32_t code = s->proc->child.code;
  bool steady = s->has_started && now - s->started_at >= kSteadyRun;
  s->proc = nullptr;
  s->has_started = false;
  s->has_stop = s->has_killed = false;
  s->fps = 0.0;
  s->connections = 0;
  s->has_level = s->program = s->preview = false;
  s->has_exit = true;
  s->exit_code = code;
  s->last_error = s->stalled ? Json("stalled") : s->error;
  if (s->removed) {
    pictures_remove(s->picture_file);
    sources->erase(std::remove(sources->begin(), sources->end(), s), sources->end());
    return;
  }
  if (s->restart_now) {
    s->restart_now = false;
    s->next_wait = kFirstWait;
    start(s);
    return;
  }
  if (!s->stalled && !worth_another_run(code, s->error)) {
    Json fields;
    fields["event"] = "stopped";
    fields["code"] = code;
    write_event(*s, std::move(fields));
    s->state = "stopped";
    return;
  }
  // Measured from started: with audio, a tool whose decoder never connects
  // runs 60 s too, and must not count as a good run. Nor does a stalled one,
  // which may have sent pictures for a minute before each stall.
  if (steady && !s->stalled) s->next_wait = kFirstWait;
  Json fields;
  fields["event"] = "restart";
  fields["code"] = code;
  fields["after"] = s->next_wait;
  write_event(*s, std::move(fields));
  s->restarts++;
  s->state = s->stalled ? "stalled" : "waiting";
  s->has_due = true;
  s->due = now + s->next_wait;
  s->next_wait = std::min(s->next_wait * 2, kLongestWait);
}

// Stops a run that has had no picture for its stall limit.
static void watch_stall(Source* s, double now) {
  if (!s->proc || s->has_stop || !s->has_started || s->settings.stall <= 0 ||
      now - s->last_picture < s->settings.stall) {
    return;
  }
  Json fields;
  fields["event"] = "stalled";
  fields["seconds"] = s->settings.stall;
  write_event(*s, std::move(fields));
  s->stalled = true;
  s->stalls++;
  s->state = "stalled";
  stop(s, now);
}

// The file read again: the new list of sources, each kept, changed, added or
// on its way out by name. A file that cannot be used changes nothing.
static Sources reload(const std::string& path, const Sources& sources, double now) {
  std::vector<SourceEntry> fresh;
  std::string why, tool;
  if (!sources_load(path, &fresh, &why, &tool)) {
    say("reload refused, nothing changed: " + why);
    return sources;
  }
  if (gStatus) status_publish_tool(tool);
  std::map<std::string, SourcePtr> old;
  std::vector<std::string> old_order;
  for (const SourcePtr& s : sources) {
    if (!old.count(s->name)) old_order.push_back(s->name);
    old[s->name] = s;
  }
  Sources result;
  for (const SourceEntry& entry : fresh) {
    auto found = old.find(entry.name);
    if (found == old.end()) {
      SourcePtr s = make_source(entry);
      start(s);
      result.push_back(s);
      continue;
    }
    SourcePtr s = found->second;
    old.erase(found);
    result.push_back(s);
    if (s->settings == entry.settings && !s->removed) {
      if (s->state == "stopped" && !s->proc) {
        // Stopped for good, and the operator asks again.
        s->next_wait = kFirstWait;
        start(s);
      }
      continue;
    }
    // Changed, or removed by an earlier reload and back before its run ended.
    s->settings = entry.settings;
    s->masked_input = entry.masked_input;
    s->removed = false;
    s->next_wait = kFirstWait;
    if (s->proc) {
      s->restart_now = true;
      stop(s.get(), now);
    } else {
      start(s);
    }
  }
  for (const std::string& name : old_order) {
    auto found = old.find(name);
    if (found == old.end()) continue;
    SourcePtr s = found->second;
    if (s->proc) {
      s->removed = true;
      s->restart_now = false;
      stop(s.get(), now);
      result.push_back(s);  // until its exit line has passed; the status no longer shows it
    }
  }
  return result;
}

static void publish(const Sources& sources) {
  std::vector<StatusRow> rows;
  for (const SourcePtr& s : sources) {
    if (s->removed) continue;
    StatusRow r;
    r.name = s->name;
    r.input = s->masked_input;
    r.state = s->state;
    r.fps = s->fps;
    r.connections = (int32_t)std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, s->connections));
    r.restarts = s->restarts;
    r.stalls = s->stalls;
    r.has_exit_code = s->has_exit;
    r.exit_code = (int32_t)s->exit_code;
    r.has_error = !s->last_error.is_null();
    r.error = s->last_error.is_string() ? s->last_error.get<std::string>() : json_text(s->last_error);
    r.running = s->has_started;
    r.started_at = s->started_clock;
    r.stall = s->settings.stall;
    r.last_picture = s->seen_picture;
    r.has_level = s->has_level;
    r.level[0] = s->level[0];
    r.level[1] = s->level[1];
    r.program = s->program;
    r.preview = s->preview;
    r.picture_file = s->picture_file;
    r.picture = s->picture.any;
    r.picture_at = s->picture_at;
    r.picture_same_since = s->picture_same_since;
    rows.push_back(std::move(r));
  }
  status_publish(std::move(rows));
}

int supervise(const std::string& path, const std::vector<SourceEntry>& entries, bool status) {
  gStatus = status;
  Sources sources;
  for (const SourceEntry& entry : entries) sources.push_back(make_source(entry));
  for (const SourcePtr& s : sources) start(s);
  notify_send("READY=1");

  double watchdog_every = notify_watchdog_every();
  double next_ping = 0.0;
  bool stopping = false;  // the stop of everything has begun
  for (;;) {
    double now = now_s();
    Sources running;
    for (const SourcePtr& s : sources)
      if (s->proc) running.push_back(s);
    if (stopping && running.empty()) return 0;
    double wake = now + 1.0;
    for (const SourcePtr& s : running) {
      if (s->has_stop && !s->has_killed) {
        if (now >= s->stop_at + kStopGrace) {
          kill_tool(s.get(), now);
        } else {
          wake = std::min(wake, s->stop_at + kStopGrace);
        }
      }
      if (s->has_killed && now >= s->killed_at + kKillGrace && child_poll(&s->proc->child)) {
        // Something still holds a killed tool's stdout open; the tool itself
        // has gone. Its reader thread is left behind.
        if (!stopping) {
          run_ended(s, &sources, now);
        } else {
          s->proc = nullptr;
        }
        continue;
      }
      if (s->has_killed) wake = std::min(wake, s->killed_at + kKillGrace);
    }
    // The tools whose output has ended, once they have ended too.
    for (size_t i = 0; i < gEnding.size();) {
      SourcePtr s = gEnding[i].first;
      std::shared_ptr<ToolRun> run = gEnding[i].second;
      if (!child_poll(&run->child)) {
        wake = std::min(wake, now + 0.05);
        ++i;
        continue;
      }
      gEnding.erase(gEnding.begin() + (long)i);
      child_close_stdin(&run->child);
      if (run != s->proc) continue;  // a run given up on after its kill
      if (!stopping) {
        run_ended(s, &sources, now);
      } else {
        s->proc = nullptr;
      }
    }
    if (stopping) {
      // Exiting must not hang on a killed tool that cannot be reaped.
      bool all_given_up = std::all_of(running.begin(), running.end(), [now](const SourcePtr& s) {
        return s->has_killed && now >= s->killed_at + kKillGrace;
      });
      if (all_given_up) return 0;
    } else {
      for (const SourcePtr& s : sources) {
        if (s->has_due && now >= s->due) start(s);
        watch_stall(s.get(), now);
        if (s->has_due) wake = std::min(wake, s->due);
        if (s->proc && !s->has_stop && s->has_started && s->settings.stall > 0) {
          wake = std::min(wake, s->last_picture + s->settings.stall);
        }
      }
    }
    // From the loop itself: a loop that is stuck stops the pings.
    if (watchdog_every > 0) {
      if (now >= next_ping) {
        notify_send("WATCHDOG=1");
        next_ping = now + watchdog_every;
      }
      wake = std::min(wake, next_ping);
    }
    if (gStatus) publish(sources);

    InboxItem item;
    if (!inbox_take(&item, std::min(std::max(wake - now_s(), 0.0), 1.0))) continue;
    switch (item.kind) {
      case InboxKind::kStop:
      case InboxKind::kReload:
        if (stopping) break;  // a reload or a second stop during the stop is ignored
        if (item.kind == InboxKind::kReload) {
          notify_send("RELOADING=1");
          sources = reload(path, sources, now_s());
          notify_send("READY=1");
          break;
        }
        notify_send("STOPPING=1");
        stopping = true;
        now = now_s();
        for (const SourcePtr& s : sources) {
          s->has_due = false;  // no start again, and so no restart or stopped line
          if (s->proc) stop(s.get(), now);
        }
        break;
      case InboxKind::kLine:
        pass_on(item.source, item.text, item.run == item.source->proc);
        break;
      case InboxKind::kLongLine:
        say(item.source->name + ": a line over " + std::to_string(kToolLineMaxBytes / 1024) +
            " KiB dropped");
        break;
      case InboxKind::kEnd:
        gEnding.emplace_back(item.source, item.run);
        break;
    }
  }
}
