// What the status server shows and how the supervision loop hands it over: a
// snapshot of every source that the loop replaces whole, under a lock held only
// for the swap and the read, so the loop never waits for a client.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

struct CheckResult;

struct StatusRow {
  std::string name;
  std::string input;       // the input as shown: a password in its userinfo masked
  // "starting" (a start that was not a retry, until its first picture),
  // "running", "down" (failing: from its first failed run, over every retry,
  // until a picture), "held", "stopped" or "off".
  std::string state;
  // While it fails (down, or held or stopped after failing): since when it has
  // delivered no picture, and the same as UTC text, taken once.
  bool has_down_since = false;
  std::chrono::steady_clock::time_point down_since{};
  std::string down_since_utc;
  // When the supervisor starts it again, while a start again waits.
  bool has_next_try = false;
  std::chrono::steady_clock::time_point next_try{};
  double fps = 0.0;        // from the current run's last status line
  int32_t connections = 0; // likewise
  int32_t restarts = 0;    // times started again after its tool ended
  int32_t stalls = 0;      // runs stopped by the stall watchdog
  bool has_exit_code = false;
  int32_t exit_code = 0;   // how the last run that ended, ended
  bool has_error = false;
  std::string error;       // the code of that run's error line, or "stalled"
  bool running = false;    // the current run has written its started line
  std::chrono::steady_clock::time_point started_at{};  // when, if running
  double stall = 0.0;      // the source's stall limit in seconds (0: off)
  // The last status line that counted pictures, in any run (before the first
  // one: when the source was added).
  std::chrono::steady_clock::time_point last_picture{};
  // From the current run's last status line: the audio peaks (dBFS) and the tally.
  bool has_level = false;
  double level[2] = {0.0, 0.0};
  bool program = false;
  bool preview = false;
  // Its picture file, whether its tool has written a picture there in any run,
  // when the loop saw the newest, and since when its content has been the same.
  std::string picture_file;
  bool picture = false;
  std::chrono::steady_clock::time_point picture_at{};
  std::chrono::steady_clock::time_point picture_same_since{};
  // Messages of its tools (stderr lines, stdout lines that are not events)
  // dropped over the budget, in all.
  uint64_t messages_dropped = 0;
  // What a camera check found after a run failed (camera_check.h), or null.
  std::shared_ptr<const CheckResult> diagnosis;
  // With "ptz" on: the camera's PTZ state ("ready", "moving", "held",
  // "unreachable", "no_ptz"), its last command, and the commands by result
  // over all runs.
  bool ptz = false;
  std::string ptz_state;
  bool has_ptz_last = false;
  std::string ptz_command, ptz_result, ptz_at;  // ptz_at: UTC text
  struct PtzCount {
    std::string command, result;
    uint64_t count;
  };
  std::vector<PtzCount> ptz_counts;
};

// A source whose tool writes a picture every status interval (2 s) has not had
// one written for this long: its pictures folder is full or cannot be written.
constexpr double kPictureSilenceSeconds = 10.0;

// A frozen picture: the source runs with pictures by its rate, and new picture
// files keep arriving, yet their content has not changed for its stall limit
// (never with the watchdog off). Without new files it is not frozen: the
// pictures are not being written.
bool status_frozen(const StatusRow& row, std::chrono::steady_clock::time_point now);

// Loop thread: replaces the snapshot.
void status_publish(std::vector<StatusRow> rows);

// Any thread: a copy of the current snapshot.
std::vector<StatusRow> status_snapshot();

// The tool the sources file names, as the metrics show it: set at start and by
// each reload that is taken; read by any thread.
void status_publish_tool(std::string tool);
std::string status_tool();
