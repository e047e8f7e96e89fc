#include "loop/supervise.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <deque>
#include <exception>
#include <map>
#include <memory>

#include "check/camera_check.h"
#include "ptz/ptz_queue.h"
#include "utc_text.h"
#include "text/address.h"
#include "text/json_line.h"
#include "status/pictures.h"
#include "sources/tool_args.h"
#include "status/status.h"

static const double kFirstWait = 1.0;     // seconds before the first start again
static const double kLongestWait = 60.0;  // the doubling stops here
static const double kSteadyRun = 60.0;    // a run this long after its started line resets the wait
static const double kStopGrace = 10.0;    // how long a tool may take to end after its stdin closed
static const double kKillGrace = 5.0;     // at the end, how long a killed tool may take to be seen gone
static const double kOutputGrace = 1.0;   // how long a tool's output is read after its end
static const double kEndPoll = 0.05;      // how often a tool whose output has ended is looked at
static const int kLineMaxDepth = 16;      // a tool's line nested deeper is no event line
static const uint32_t kCannotStart = 127;  // the code of a start that failed
static const double kPtzLastStops = 3.0;   // at exit, how long the cameras' last stops are waited for
// A run that has delivered is down once it has gone this long without a
// status line counting pictures: two status intervals, so that one late line
// does not turn a live source red.
static const double kNoPictureDown = 4.0;
// With its watchdog off, how long a start that was not a retry may go without
// a picture before it counts as down: the default stall limit.
static const double kFirstPictureChance = 10.0;

// The current run of a source: a new run starts from a fresh one.
struct SourceRun {
  std::shared_ptr<ToolRun> tool;  // null between runs
  double begun = 0.0;             // when it was started
  bool pictured = false;          // a status line of it has counted pictures
  bool has_started = false;       // it wrote "started", at started_at
  double started_at = 0.0;
  Json error;                     // the code of its error line, or null
  double last_picture = 0.0;      // when it last reported pictures (or started)
  bool stalled = false;           // stopped by the watchdog
  bool has_stop = false;          // the supervisor closed its stdin at stop_at
  double stop_at = 0.0;
  bool has_killed = false;        // and killed its tool at killed_at
  double killed_at = 0.0;
  // From its last status line.
  double fps = 0.0;
  int64_t connections = 0;
  bool has_level = false;
  double level[2] = {0.0, 0.0};
  bool program = false, preview = false;
};

// What a source keeps across its runs.
struct SourceHistory {
  int32_t restarts = 0;
  int32_t stalls = 0;             // runs stopped by the watchdog
  double next_wait = kFirstWait;  // the wait before the next start again
  bool has_due = false;           // to be started again at due
  double due = 0.0;
  // The last status line with pictures in any run, so that a source that
  // stalls again and again shows how long it has been without pictures.
  double seen_picture = 0.0;
  bool has_exit = false;          // how the last run that ended, ended
  uint32_t exit_code = 0;
  Json last_error;                // its error code, "stalled", or null
  // The newest picture of any run.
  PictureSeen picture;
  double picture_at = 0.0, picture_same_since = 0.0;
  uint64_t messages_dropped = 0;  // of the runs that ended
  bool pictures_unwritten = false;  // said that its pictures are not being written
};

// Whether the source is failing: from the first failed run of a streak (its
// tool ended, it stalled, it could not start, or it went without pictures)
// until a status line counts pictures again. The retries in between change
// nothing of it.
struct SourceDown {
  bool is = false;
  double since = 0.0;     // since when it has delivered no picture
  std::string since_utc;  // the same as UTC text, taken once: a later change of the clock does not move it
};

// What a camera check found when a run of the source failed, and whether
// another may run. A source is checked once per failure streak: not again
// until it has run for kSteadyRun or its settings changed.
struct SourceCheck {
  bool done = false;        // checked (or queued) since then
  bool queued = false;      // waiting for its turn or running: its start again waits for it
  uint64_t of_settings = 0; // the settings it was asked for
  std::shared_ptr<const CheckResult> result;  // a failed check's, or null
};

// What the source's receivers' PTZ commands came to, across its runs.
struct SourcePtz {
  std::string state = "ready";
  bool held = false;     // its camera refused the password: no more commands until new settings or a restart
  bool failing = false;  // said: its commands fail (once per streak)
  bool worker = false;   // the host has had a command of the current run
  bool has_last = false;
  PtzReport last;
  std::string last_at;
  std::map<std::pair<std::string, std::string>, uint64_t> counts;  // by command and result
};

// One source: its settings from the file, its current run and its history.
struct Source {
  std::string name;
  SourceSettings settings;        // what a reload compares
  std::string masked_input;
  std::string picture_file;       // where its tools write its picture (empty: nowhere)
  bool removed = false;           // gone from the file: end the run, then forget the source
  bool restart_now = false;       // its settings changed: start again as soon as the run has ended
  uint64_t settings_made = 0;     // counts its settings, so that a check of older ones is dropped
  std::string state = "starting"; // as the status shows it
  SourceRun run;
  SourceHistory history;
  SourceDown down;
  SourceCheck check;
  SourcePtz ptz;
};

using SourcePtr = std::shared_ptr<Source>;
using Sources = std::vector<SourcePtr>;

// The loop's state.
struct Loop {
  ToolHost& host;
  std::string path;
  bool status = false;
  Sources sources;
  uint64_t sources_made = 0;  // numbers each source's picture file
  bool stopping = false;      // the stop of everything has begun
  // Camera checks of failed sources, one at a time.
  std::deque<std::weak_ptr<Source>> checks_waiting;
  bool checking = false;
};

static std::chrono::steady_clock::time_point clock_at(double seconds) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(std::chrono::duration<double>(seconds)));
}

static SourcePtr make_source(const SourceEntry& entry, double now) {
  auto s = std::make_shared<Source>();
  s->name = entry.name;
  s->settings = entry.settings;
  s->masked_input = entry.masked_input;
  s->history.seen_picture = now;
  if (!entry.settings.enabled) s->state = "off";
  return s;
}

// A source's row on the status page, its first answer and every later one.
static StatusRow status_row(const Source& s) {
  const SourceRun& run = s.run;
  const SourceHistory& h = s.history;
  StatusRow r;
  r.name = s.name;
  r.input = s.masked_input;
  r.state = s.state;
  r.fps = run.fps;
  r.connections = (int32_t)std::max<int64_t>(INT32_MIN, std::min<int64_t>(INT32_MAX, run.connections));
  r.has_down_since = s.down.is;
  r.down_since = clock_at(s.down.since);
  r.down_since_utc = s.down.since_utc;
  r.has_next_try = h.has_due;
  r.next_try = clock_at(h.due);
  r.restarts = h.restarts;
  r.stalls = h.stalls;
  r.has_exit_code = h.has_exit;
  r.exit_code = (int32_t)h.exit_code;
  r.has_error = !h.last_error.is_null();
  r.error = h.last_error.is_string() ? h.last_error.get<std::string>() : json_text(h.last_error);
  r.running = run.has_started;
  r.started_at = clock_at(run.started_at);
  r.stall = s.settings.stall;
  r.last_picture = clock_at(h.seen_picture);
  r.has_level = run.has_level;
  r.level[0] = run.level[0];
  r.level[1] = run.level[1];
  r.program = run.program;
  r.preview = run.preview;
  r.picture_file = s.picture_file;
  r.picture = h.picture.any;
  r.picture_at = clock_at(h.picture_at);
  r.picture_same_since = clock_at(h.picture_same_since);
  r.messages_dropped = h.messages_dropped + (run.tool ? run.tool->messages.dropped() : 0);
  r.diagnosis = s.check.result;
  r.ptz = s.settings.ptz;
  r.ptz_state = s.ptz.state;
  r.has_ptz_last = s.ptz.has_last;
  r.ptz_command = s.ptz.last.command;
  r.ptz_result = s.ptz.last.result;
  r.ptz_at = s.ptz.last_at;
  for (const auto& c : s.ptz.counts) r.ptz_counts.push_back({c.first.first, c.first.second, c.second});
  return r;
}

const std::string& source_name(const Source& s) { return s.name; }

void supervise_publish_first(const std::vector<SourceEntry>& entries, ToolHost& host) {
  double now = host.now();
  std::vector<StatusRow> rows;
  for (const SourceEntry& entry : entries) rows.push_back(status_row(*make_source(entry, now)));
  status_publish(std::move(rows));
}

static void write_event(Loop& L, const Source& s, Json fields) {
  Json line;
  line["source"] = s.name;
  for (auto it = fields.begin(); it != fields.end(); ++it) line[it.key()] = it.value();
  L.host.line(json_text(line));
}

// A moment on the loop's clock as UTC text, by the system's clock now.
static std::string utc_of(double at, double now) {
  double wall = std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
  return utc_text((int64_t)std::floor(wall - (now - at)));
}

// Since when a run that failed delivered nothing: its last picture, or its start.
static double without_pictures_since(const SourceRun& run) { return run.pictured ? run.last_picture : run.begun; }

// The source fails: down, unless a streak of failures has already begun; the
// caller says what it shows (down, stopped or held).
static void mark_down(Source* s, double since, double now) {
  if (s->down.is) return;
  s->down.is = true;
  s->down.since = since;
  s->down.since_utc = utc_of(since, now);
}

static void write_stopped(Loop& L, Source* s, uint32_t code) {
  Json fields;
  fields["event"] = "stopped";
  fields["code"] = code;
  write_event(L, *s, std::move(fields));
  s->state = "stopped";
}

// The run that ended with code is to be followed by another after the wait;
// the source, down, stays so over the wait and the start again.
static void schedule_restart(Loop& L, Source* s, uint32_t code, double now) {
  SourceHistory& h = s->history;
  Json fields;
  fields["event"] = "restart";
  fields["code"] = code;
  fields["after"] = h.next_wait;
  write_event(L, *s, std::move(fields));
  h.restarts++;
  s->state = "down";
  h.has_due = true;
  h.due = now + h.next_wait;
  h.next_wait = std::min(h.next_wait * 2, kLongestWait);
}

// Any part of a start that fails is a failed run: final when the tool cannot
// be run at all, else tried again after the wait like any other. A retry (the
// start again after a failure) shows the source down until its first picture;
// any other start (the first, new settings, an operator's restart) shows it
// starting.
static void start(Loop& L, const SourcePtr& s, bool retry) {
  double now = L.host.now();
  s->history.has_due = false;
  s->run = SourceRun();
  s->run.begun = now;
  if (!s->settings.enabled) {
    // Its last picture is not what the source shows while it is off, and a
    // source switched off is not failing.
    s->state = "off";
    s->history.picture = PictureSeen();
    s->down = SourceDown();
    return;
  }
  s->state = retry ? "down" : "starting";
  std::vector<std::string> argv = s->settings.argv;
  if (!s->picture_file.empty()) tool_argv_add_monitor(&argv, s->picture_file);
  StartFailure failure;
  try {
    s->run.tool = L.host.start(argv, s, &failure);
  } catch (const std::exception& e) {
    // No thread or memory for the run just now (the host leaves nothing of it running).
    failure.final = false;
    failure.why = e.what();
  }
  if (s->run.tool) {
    s->run.tool->input = tool_argv_input(argv);
    return;
  }
  SourceHistory& h = s->history;
  h.has_exit = true;
  h.exit_code = kCannotStart;
  h.last_error = nullptr;
  mark_down(s.get(), now, now);
  if (failure.final) {
    L.host.say(s->name + ": cannot run " + s->settings.argv[0] + ": " + failure.why);
    write_stopped(L, s.get(), kCannotStart);
  } else {
    L.host.say(s->name + ": cannot start " + s->settings.argv[0] + " for now: " + failure.why);
    schedule_restart(L, s.get(), kCannotStart, now);
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
static void take_monitor(Loop& L, Source* s, const Json& status, double now) {
  SourceRun& run = s->run;
  const Json* level = status.contains("level") ? &status["level"] : nullptr;
  run.has_level = level && level->is_array() && level->size() == 2 && (*level)[0].is_number() &&
                  (*level)[1].is_number();
  if (run.has_level) {
    run.level[0] = (*level)[0].get<double>();
    run.level[1] = (*level)[1].get<double>();
  }
  const Json* tally = status.contains("tally") ? &status["tally"] : nullptr;
  auto lit = [tally](const char* kind) {
    return tally && tally->is_object() && tally->contains(kind) && (*tally)[kind].is_boolean() &&
           (*tally)[kind].get<bool>();
  };
  run.program = lit("program");
  run.preview = lit("preview");
  SourceHistory& h = s->history;
  uint64_t before = h.picture.hash;
  bool had = h.picture.any;
  if (pictures_look(s->picture_file, &h.picture)) {
    h.picture_at = now;
    if (!had || h.picture.hash != before) h.picture_same_since = now;
    h.pictures_unwritten = false;
  } else if (!s->picture_file.empty() && run.has_started && run.fps > 0 && !h.pictures_unwritten &&
             now - std::max(run.started_at, h.picture.any ? h.picture_at : 0.0) > kPictureSilenceSeconds) {
    // The source delivers, yet no picture of it has been written for a while:
    // the folder is full or cannot be written. Said once, not per picture.
    h.pictures_unwritten = true;
    L.host.say(s->name + ": its pictures are not being written (is the pictures folder full or read-only?); "
                  "the source runs on without them");
  }
}

// One line of a tool: written on with the source's name first. started,
// status and error of the current run are remembered for the watchdog, the
// status and the decision at the end of the run.
static void pass_on(Loop& L, const SourcePtr& s, const std::string& raw, ToolRun* run_of_line) {
  const bool current = run_of_line == s->run.tool.get();
  Json event;
  std::string why;
  bool too_deep = false;
  if (!json_parse(raw, kLineMaxDepth, &event, &why, &too_deep) || !event.is_object() || !event.contains("event") ||
      !event["event"].is_string()) {
    // Within the run's budget, shared with its stderr.
    uint64_t unsaid = 0;
    if (run_of_line && run_of_line->messages.allow(L.host.now(), &unsaid)) {
      if (unsaid > 0) L.host.say(budget_dropped_text(s->name, unsaid));
      // Masked as its stderr lines are: a tool may print its address here too.
      L.host.say(s->name + ": not an event line: " + bytes_repr(mask_password(raw, run_of_line->input)));
    }
    return;
  }
  if (current) {
    double now = L.host.now();
    SourceRun& run = s->run;
    const std::string& kind = event["event"].get_ref<const std::string&>();
    if (kind == "started") {
      run.has_started = true;
      run.started_at = run.last_picture = now;
      if (s->state == "starting") s->state = "running";
    } else if (kind == "status") {
      const Json fps = event.contains("fps") ? event["fps"] : Json();
      const Json connections = event.contains("connections") ? event["connections"] : Json();
      // A boolean counts as a number here, as it did for the script.
      run.fps = fps.is_number() ? fps.get<double>() : fps.is_boolean() ? (fps.get<bool>() ? 1.0 : 0.0) : 0.0;
      run.connections = connections.is_number_integer()
                            ? connections.get<int64_t>()
                            : connections.is_boolean() ? (connections.get<bool>() ? 1 : 0) : 0;
      // A status line covers the 2 s before it: any picture in them means
      // the source is alive, and no longer down.
      if (run.fps > 0) {
        run.last_picture = s->history.seen_picture = now;
        run.pictured = true;
        s->down = SourceDown();
        if (s->state == "down") s->state = "running";
      }
      take_monitor(L, s.get(), event, now);
      // No receiver is left to stop what one started.
      if (run.connections == 0 && s->ptz.worker) L.host.ptz_stop(s, false);
    } else if (kind == "error") {
      run.error = event.contains("code") ? event["code"] : Json();
    } else if (kind == "ptz" && s->settings.ptz && !run.has_stop && !s->ptz.held) {
      s->ptz.worker = L.host.ptz(s, s->settings.camera, event) || s->ptz.worker;
      if (!s->ptz.worker) L.host.say(s->name + ": no thread to move its camera with; a PTZ command dropped");
    }
  }
  write_event(L, *s, std::move(event));
}

// New settings, or an operator's restart: what was checked (a hold, a
// diagnosis) no longer holds, and a check still running is dropped.
static void forget_check(Source* s) {
  s->settings_made++;
  s->check = SourceCheck();
  if (s->ptz.held) s->ptz.state = "ready";
  s->ptz.held = false;
}

// What a PTZ command of s came to. A streak of failures is said once.
static void ptz_done(Loop& L, Source* s, const PtzReport& r) {
  SourcePtz& p = s->ptz;
  p.counts[{r.command, r.result}]++;
  if (r.result == "replaced") return;
  p.has_last = true;
  p.last = r;
  p.last_at = utc_text(std::chrono::duration_cast<std::chrono::seconds>(
                           std::chrono::system_clock::now().time_since_epoch()).count());
  if (!p.held) p.state = r.state;
  if (r.state == "held" && !p.held) {
    p.held = true;
    L.host.say(s->name + ": PTZ held: " + r.why + "; no more commands go to its camera until its settings change "
               "or it is restarted");
    p.failing = true;
    return;
  }
  bool failed = r.result == "failed" || r.result == "refused";
  if (failed && !p.failing) L.host.say(s->name + ": PTZ " + r.command + " failed: " + r.why);
  if (r.result == "ok") p.failing = false;
  if (failed) p.failing = true;
}

// Starts the next waiting camera check unless one runs.
static void next_check(Loop& L) {
  while (!L.checking && !L.checks_waiting.empty()) {
    SourcePtr s = L.checks_waiting.front().lock();
    L.checks_waiting.pop_front();
    if (!s || s->removed || !s->check.queued) continue;
    s->check.of_settings = s->settings_made;
    if (L.host.check(s, check_request_of(s->settings.argv))) {
      L.checking = true;
      return;
    }
    s->check.queued = false;  // no thread for it now: the source goes on unchecked
  }
}

// A run of s failed in a way that a camera check can explain (the decoder
// could not deliver): checked once, its start again waiting for the result.
static void ask_check(Loop& L, const SourcePtr& s) {
  if (s->check.done) return;
  s->check.done = true;
  s->check.queued = true;
  L.checks_waiting.push_back(s);
  next_check(L);
}

// A camera check of s has ended. A check of settings that have since changed
// says nothing about the new ones.
static void checked(Loop& L, const SourcePtr& s, const std::shared_ptr<const CheckResult>& result) {
  L.checking = false;
  if (s->check.queued && s->check.of_settings == s->settings_made && !s->removed && !L.stopping) {
    s->check.queued = false;
    s->check.result = result->ok ? nullptr : result;
    if (!result->ok) {
      L.host.say(s->name + ": " + result->message + (result->detail.empty() ? "" : " (" + result->detail + ")"));
    }
    // Trying a wrong password again and again locks the camera's account.
    if (!result->ok && result->reason == "auth" && !s->run.tool) {
      s->history.has_due = false;
      s->state = "held";
      L.host.say(s->name + ": held: not started again until its settings change or it is restarted");
    }
  }
  next_check(L);
}

// An end that the supervisor did not ask for (the stops it asks for are
// handled before): worth another run unless the tool says nothing can change
// without an operator (no runtime or sender, no decoder, bad options).
static bool worth_another_run(uint32_t code, const Json& error) {
  if (code == 0 || code == 1) return true;  // stopped by someone else; the source ended, or the decoder failed
  if (code == 3) return error == "ffmpeg_connect" || error == "socket";  // unreachable, or no local sockets now
  return code > 128;  // ended by a signal
}

// The run's camera is stopped if it may be moving, and its worker ends.
static void end_ptz(Loop& L, const SourcePtr& s) {
  if (!s->ptz.worker) return;
  s->ptz.worker = false;
  L.host.ptz_stop(s, true);
}

// Asks the tool to stop: it ends its decoder and writes its exit line.
static void stop(Loop& L, const SourcePtr& s, double now) {
  if (s->run.has_stop) return;
  s->run.has_stop = true;
  s->run.stop_at = now;
  L.host.close_stdin(s->run.tool.get());
  // A run on its way out moves its camera no more.
  end_ptz(L, s);
}

// Ends a tool that did not stop in time: SIGKILL to its process group (the
// session it was started in). The decoder runs in a process group of its own
// and is not reached by this; it goes by its binding to the tool once the tool
// is killed.
static void kill_tool(Loop& L, Source* s, double now) {
  L.host.say(s->name + ": still running 10 s after its stdin closed; killed");
  s->run.has_killed = true;
  s->run.killed_at = now;
  L.host.kill(s->run.tool.get());
}

// The tool of s has ended with code: start it again now, later, or never.
static void run_ended(Loop& L, const SourcePtr& s, uint32_t code, double now) {
  bool steady = s->run.has_started && now - s->run.started_at >= kSteadyRun;
  bool stalled = s->run.stalled;
  Json error = s->run.error;
  double failed_since = without_pictures_since(s->run);
  s->run = SourceRun();
  SourceHistory& h = s->history;
  h.has_exit = true;
  h.exit_code = code;
  h.last_error = stalled ? Json("stalled") : error;
  if (s->removed) {
    pictures_remove(s->picture_file);
    L.sources.erase(std::remove(L.sources.begin(), L.sources.end(), s), L.sources.end());
    return;
  }
  if (s->restart_now || !s->settings.enabled) {
    // Changed (start again now), asked to run anew, or switched off (start()
    // shows it so).
    s->restart_now = false;
    h.next_wait = kFirstWait;
    start(L, s, false);
    return;
  }
  // Not asked for: a failure.
  mark_down(s.get(), failed_since, now);
  if (error == "ffmpeg_connect" || (code == 1 && !stalled)) ask_check(L, s);
  if (!stalled && !worth_another_run(code, error)) {
    write_stopped(L, s.get(), code);
    return;
  }
  // Measured from started: with audio, a tool whose decoder never connects
  // runs 60 s too, and must not count as a good run. Nor does a stalled one,
  // which may have sent pictures for a minute before each stall.
  if (steady && !stalled) h.next_wait = kFirstWait;
  schedule_restart(L, s.get(), code, now);
}

// Looks whether the tool of s has ended. Its run ends with it, whoever still
// holds its output: that output is read until it ends (at once, usually), for
// kOutputGrace at most, so that its last lines (the exit line, the error line
// the decision needs) come first.
static void look_at_end(Loop& L, const SourcePtr& s, double now, double* wake) {
  std::shared_ptr<ToolRun> tool = s->run.tool;
  if (!tool) return;
  if (!tool->ended) {
    if (!L.host.ended(tool.get(), &tool->code)) return;
    tool->ended = true;
    tool->ended_at = now;
  }
  if (!tool->output_ended && now < tool->ended_at + kOutputGrace) {
    *wake = std::min(*wake, tool->ended_at + kOutputGrace);
    return;
  }
  L.host.finish(tool.get());
  end_ptz(L, s);
  s->history.messages_dropped += tool->messages.dropped();
  if (L.stopping) {
    s->run = SourceRun();
  } else {
    run_ended(L, s, tool->code, now);
  }
}

// Stops a run that has had no picture for its stall limit.
static void watch_stall(Loop& L, const SourcePtr& s, double now) {
  const SourceRun& run = s->run;
  if (!run.tool || run.tool->ended || run.has_stop || !run.has_started || s->settings.stall <= 0 ||
      now - run.last_picture < s->settings.stall) {
    return;
  }
  Json fields;
  fields["event"] = "stalled";
  fields["seconds"] = s->settings.stall;
  write_event(L, *s, std::move(fields));
  s->run.stalled = true;
  s->history.stalls++;
  mark_down(s.get(), without_pictures_since(run), now);
  s->state = "down";
  stop(L, s, now);
}

// Whether a running tool of s that is not down yet is to count as down for
// want of pictures, and from *at: a run that has delivered, kNoPictureDown
// after its last picture; one that has not, once it has had a fair chance, its
// stall limit from its start. A decoder that cannot reach its camera never
// connects to the tool, which waits 30 s for it (60 s with audio) before it
// ends: far longer than the source may look as if it were starting.
static bool down_without_pictures_at(const Source& s, double* at) {
  const SourceRun& run = s.run;
  if (!run.tool || run.tool->ended || run.has_stop || (s.state != "starting" && s.state != "running")) return false;
  *at = run.pictured ? run.last_picture + kNoPictureDown
                     : run.begun + (s.settings.stall > 0 ? s.settings.stall : kFirstPictureChance);
  return true;
}

// A running tool whose source delivers nothing: the source is down while the
// run goes on (the watchdog and the tool's own limits decide its end), and a
// picture brings it back.
static void watch_pictures(const SourcePtr& s, double now, double* wake) {
  double at = 0.0;
  if (!down_without_pictures_at(*s, &at)) return;
  if (now < at) {
    *wake = std::min(*wake, at);
    return;
  }
  mark_down(s.get(), without_pictures_since(s->run), now);
  s->state = "down";
}

// The file read again: the new list of sources, each kept, changed, added or
// on its way out by name. A file that cannot be used changes nothing.
static void reload(Loop& L, const InboxItem& item, double now) {
  std::vector<SourceEntry> fresh;
  std::string why, tool = item.text;
  if (item.sources) {
    fresh = *item.sources;
  } else if (!sources_load(L.path, &fresh, &why, &tool)) {
    L.host.say("reload refused, nothing changed: " + why);
    return;
  }
  if (L.status) status_publish_tool(tool);
  std::map<std::string, SourcePtr> old;
  std::vector<std::string> old_order;
  for (const SourcePtr& s : L.sources) {
    if (!old.count(s->name)) old_order.push_back(s->name);
    old[s->name] = s;
  }
  Sources result;
  std::vector<SourcePtr> to_start;
  for (const SourceEntry& entry : fresh) {
    auto found = old.find(entry.name);
    if (found == old.end()) {
      SourcePtr s = make_source(entry, now);
      s->picture_file = pictures_file(++L.sources_made);
      to_start.push_back(s);
      result.push_back(s);
      continue;
    }
    SourcePtr s = found->second;
    old.erase(found);
    result.push_back(s);
    if (s->settings == entry.settings && !s->removed) {
      if (s->state == "stopped" && !s->run.tool) {
        // Stopped for good, and the operator asks again.
        s->history.next_wait = kFirstWait;
        to_start.push_back(s);
      }
      continue;
    }
    // Changed, or removed by an earlier reload and back before its run ended.
    // A hold and a diagnosis were about the old settings.
    forget_check(s.get());
    s->settings = entry.settings;
    s->masked_input = entry.masked_input;
    s->removed = false;
    s->history.next_wait = kFirstWait;
    if (s->run.tool) {
      s->restart_now = true;
      stop(L, s, now);
    } else {
      to_start.push_back(s);
    }
  }
  for (const std::string& name : old_order) {
    auto found = old.find(name);
    if (found == old.end()) continue;
    SourcePtr s = found->second;
    if (s->run.tool) {
      s->removed = true;
      s->restart_now = false;
      stop(L, s, now);
      result.push_back(s);  // until its run has ended; the status no longer shows it
    } else {
      // Waiting to start again, or stopped: gone now, its picture with it.
      pictures_remove(s->picture_file);
    }
  }
  L.sources = result;
  for (const SourcePtr& s : to_start) start(L, s, false);
}

// A new run of the source named now, without the back-off's wait: its run is
// stopped and started again at its end, or one that waits is started at once.
// A held source is released, and checked anew should it fail again (a check
// still running is dropped). A source switched off, unknown or on its way out
// is left alone.
static void restart_now(Loop& L, const std::string& name, double now) {
  for (const SourcePtr& s : Sources(L.sources)) {
    if (s->name != name || s->removed || !s->settings.enabled) continue;
    forget_check(s.get());
    s->history.next_wait = kFirstWait;
    if (s->run.tool) {
      s->restart_now = true;
      stop(L, s, now);
    } else {
      start(L, s, false);
    }
  }
}

static void publish(const Sources& sources) {
  std::vector<StatusRow> rows;
  for (const SourcePtr& s : sources)
    if (!s->removed) rows.push_back(status_row(*s));
  status_publish(std::move(rows));
}

int supervise(const std::string& path, const std::vector<SourceEntry>& entries, bool status, ToolHost& host) {
  Loop L{host, path, status, {}, 0, false, {}, false};
  for (const SourceEntry& entry : entries) {
    SourcePtr s = make_source(entry, host.now());
    s->picture_file = pictures_file(++L.sources_made);
    L.sources.push_back(s);
  }
  for (const SourcePtr& s : Sources(L.sources)) start(L, s, false);
  L.host.notify("READY=1");

  double watchdog_every = host.watchdog_every();
  double next_ping = 0.0;
  for (;;) {
    double now = host.now();
    double wake = now + 1.0;
    for (const SourcePtr& s : Sources(L.sources)) look_at_end(L, s, now, &wake);
    bool any_running = false, all_given_up = true;
    for (const SourcePtr& s : L.sources) {
      SourceRun& run = s->run;
      if (!run.tool) continue;
      any_running = true;
      // Its output has ended: its tool usually ends at once.
      if (run.tool->output_ended) wake = std::min(wake, now + kEndPoll);
      if (run.has_stop && !run.has_killed && !run.tool->ended) {
        if (now >= run.stop_at + kStopGrace) {
          kill_tool(L, s.get(), now);
        } else {
          wake = std::min(wake, run.stop_at + kStopGrace);
        }
      }
      if (run.has_killed && now < run.killed_at + kKillGrace) wake = std::min(wake, run.killed_at + kKillGrace);
      all_given_up = all_given_up && run.has_killed && now >= run.killed_at + kKillGrace;
    }
    if (L.stopping) {
      // Done once every tool has ended and its output been read; exiting must
      // not hang on a killed tool that cannot be reaped.
      // The cameras' last stops are waited for a little.
      if (!any_running || all_given_up) {
        L.host.ptz_end(kPtzLastStops);
        return 0;
      }
    } else {
      for (const SourcePtr& s : Sources(L.sources)) {
        SourceHistory& h = s->history;
        // A start again waits for the check of the run before.
        if (h.has_due && now >= h.due && !s->check.queued) start(L, s, true);
        watch_stall(L, s, now);
        watch_pictures(s, now, &wake);
        if (h.has_due && !s->check.queued) wake = std::min(wake, h.due);
        // A source that has run long enough may be checked again, and its
        // diagnosis is no longer news.
        const SourceRun& run = s->run;
        if (run.has_started && now - run.started_at >= kSteadyRun && s->check.done) s->check = SourceCheck();
        if (run.has_started && s->check.done && !s->check.queued) {
          wake = std::min(wake, run.started_at + kSteadyRun);
        }
        if (s->run.tool && !s->run.has_stop && s->run.has_started && s->settings.stall > 0) {
          wake = std::min(wake, s->run.last_picture + s->settings.stall);
        }
      }
    }
    // From the loop itself: a loop that is stuck stops the pings.
    if (watchdog_every > 0) {
      if (now >= next_ping) {
        L.host.notify("WATCHDOG=1");
        next_ping = now + watchdog_every;
      }
      wake = std::min(wake, next_ping);
    }
    if (L.status) publish(L.sources);

    InboxItem item;
    if (!host.take(&item, std::min(std::max(wake - host.now(), 0.0), 1.0))) continue;
    switch (item.kind) {
      case InboxKind::kStop:
      case InboxKind::kReload:
        if (L.stopping) break;  // a reload or a second stop during the stop is ignored
        if (item.kind == InboxKind::kReload) {
          L.host.notify("RELOADING=1");
          reload(L, item, host.now());
          L.host.notify("READY=1");
          break;
        }
        L.host.notify("STOPPING=1");
        L.stopping = true;
        now = host.now();
        for (const SourcePtr& s : L.sources) {
          s->history.has_due = false;  // no start again, and so no restart or stopped line
          if (s->run.tool) stop(L, s, now);
        }
        break;
      case InboxKind::kRestart:
        if (!L.stopping) restart_now(L, item.text, host.now());
        break;
      case InboxKind::kLine:
        pass_on(L, item.source, item.text, item.run.get());
        break;
      case InboxKind::kLongLine:
        L.host.say(item.source->name + ": a line over " + std::to_string(kToolLineMaxBytes / 1024) + " KiB dropped");
        break;
      case InboxKind::kEnd:
        item.run->output_ended = true;
        break;
      case InboxKind::kChecked:
        checked(L, item.source, item.check);
        break;
      case InboxKind::kPtzDone:
        ptz_done(L, item.source.get(), *item.ptz);
        break;
    }
  }
}
