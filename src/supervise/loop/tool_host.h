// Everything the supervision loop does outside itself: start a tool, hear its
// lines and the end of its output, see it end, ask it to stop or kill it, tell
// the time, wait, write a line or a message of its own, and tell the service
// manager how it is. The system's host
// (system_tool_host, host/tool_run.h) does it with the child layer, a reader
// thread per run, the inbox and the steady clock; tests drive the loop through
// a host of their own in simulated time.
#pragma once
#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "check/camera_check.h"
#include "child.h"
#include "loop/inbox.h"
#include "loop/message_budget.h"
#include "ptz_camera.h"
#include "text/json_line.h"

struct Source;

enum { kToolLineMaxBytes = 64 * 1024 };  // a longer line is dropped

// One run of a tool.
struct ToolRun {
  Child child;                      // the system host's
  std::atomic<bool> muted{false};   // its readers hand on no more of its output
  MessageBudget messages;           // its stderr lines and stdout lines that are not events
  std::string input;                // the address it was started with: its password masked in its lines
  // The loop's own.
  bool output_ended = false;        // the end of its output came through the inbox
  bool ended = false;               // the tool was seen to end, at ended_at, with code
  double ended_at = 0.0;
  uint32_t code = 0;
};

// Why a start failed.
struct StartFailure {
  bool final = false;  // the tool cannot be run at all (missing, not executable, not a program)
  std::string why;     // for people
};

class ToolHost {
 public:
  virtual ~ToolHost() = default;
  // Starts argv with its stdin a pipe that the host holds open and never
  // writes to (closing it is how the tool is told to stop), its lines and the
  // end of its output to come through take() for source, and its stderr lines
  // said with the source's name, within the run's message budget. Null with *failure
  // when any part of the start fails; nothing of it is left running then.
  virtual std::shared_ptr<ToolRun> start(const std::vector<std::string>& argv, const std::shared_ptr<Source>& source,
                                         StartFailure* failure) = 0;
  virtual void close_stdin(ToolRun* run) = 0;
  virtual void kill(ToolRun* run) = 0;
  // True with *code once the tool has ended (its output may still be open).
  virtual bool ended(ToolRun* run, uint32_t* code) = 0;
  // Once, after the end: done with the run. Unless its output has ended,
  // whatever still holds it is ended and no more of it comes through take().
  virtual void finish(ToolRun* run) = 0;
  // Seconds on a clock that never goes back.
  virtual double now() = 0;
  // The next item for the loop, waiting up to timeout_s; false when none came.
  virtual bool take(InboxItem* item, double timeout_s) = 0;
  // One line of the supervisor's own output (without its newline).
  virtual void line(std::string text) = 0;
  // One message of the supervisor's own for people (without the program's name).
  virtual void say(const std::string& text) = 0;
  // A note to the service manager: READY=1, RELOADING=1, STOPPING=1, WATCHDOG=1.
  virtual void notify(const char* note) = 0;
  // Seconds between two WATCHDOG=1 notes, or 0 when none are asked for.
  virtual double watchdog_every() = 0;
  // Checks the camera of source away from the loop; the result comes through
  // take() as a kChecked item for source. False when the check cannot be
  // started (no thread for it): then nothing comes.
  virtual bool check(const std::shared_ptr<Source>& source, const CheckRequest& request) = 0;
  // A ptz line of the source's current run, for its camera at camera: sent
  // away from the loop, in order, each result coming through take() as a
  // kPtzDone item. False when it cannot be sent (no thread for it).
  virtual bool ptz(const std::shared_ptr<Source>& source, const PtzTarget& camera, const Json& command) = 0;
  // The source's camera is stopped if it may be moving; last: its run is
  // over (ended or asked to stop), and so is the worker once it has stopped.
  virtual void ptz_stop(const std::shared_ptr<Source>& source, bool last) = 0;
  // At exit: the last stops, waited for up to seconds.
  virtual void ptz_end(double seconds) = 0;
};
