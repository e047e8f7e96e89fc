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
  std::string state;       // "starting", "running", "stalled", "waiting", "held", "stopped" or "off"
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

// Lines of the supervisor's own that stdout (or, for messages, stderr) did
// not take in time and that were dropped, in all; any thread.
void status_count_dropped_line(bool message);
uint64_t status_dropped_lines(bool message);

// The tool the sources file names, as the metrics show it: set at start and by
// each reload that is taken; read by any thread.
void status_publish_tool(std::string tool);
std::string status_tool();

// The bodies the server answers with, from a snapshot at `now`.
std::string status_json_text(const std::vector<StatusRow>& rows, std::chrono::steady_clock::time_point now);
std::string metrics_text(const std::vector<StatusRow>& rows, const std::string& tool,
                         std::chrono::steady_clock::time_point now);

struct StatusAddress;

// An answer of the API: its status and its JSON body (none when empty).
struct StatusAnswer {
  int status = 200;
  std::string body;
};

// The sources API (/api/sources, /api/restart), which the supervisor gives
// (sources_api.h); the server checks the session, its token, the Origin and
// the body's type first. client: the client's address, for the log.
struct StatusSources {
  StatusAnswer (*list)() = nullptr;
  StatusAnswer (*put)(const std::string& body, const std::string& client) = nullptr;
  StatusAnswer (*remove)(const std::string& name, const std::string& version, const std::string& client) = nullptr;
  StatusAnswer (*restart)(const std::string& body, const std::string& client) = nullptr;
};

// The status page's login: the password's file, read at each login (no file:
// no password, everything open), and where logins and failures are told;
// and what a login may change.
struct StatusLogin {
  std::string password_file;
  void (*log)(const std::string& line) = nullptr;
  StatusSources sources;
};

// Starts serving /status.json, /metrics, / and the API (/api/session,
// /api/login, /api/logout) on address (text as it was given) from threads of
// its own. False with *message set (a line for stderr, without the program's
// name) when the address cannot be used: the caller exits 1 before anything
// starts.
bool status_server_start(const std::string& text, const StatusAddress& address, const StatusLogin& login,
                         std::string* message);
