// Everything that reaches the supervision loop comes through one queue: the
// tools' lines and the ends of their output (from a reader thread per run),
// and the stop and reload signals. inbox.cpp.
#pragma once
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "sources/sources.h"

struct Source;
struct ToolRun;
struct CheckResult;
struct PtzReport;

enum class InboxKind {
  kLine,      // text: one line of a tool, without its newline
  kLongLine,  // a line of a tool was over the limit and dropped
  kEnd,       // the run's output has ended
  kStop,      // SIGINT, SIGTERM (POSIX), a console event (Windows)
  kReload,    // SIGHUP (the file read again), or sources: the file as the status page wrote it, text its tool
  kChecked,   // check: the result of a camera check of source (ToolHost::check)
  kRestart,   // text: the name of a source to run anew now, without the wait
  kPtzDone,   // ptz: what a PTZ command of source came to (ToolHost::ptz)
};

struct InboxItem {
  InboxItem() = default;
  InboxItem(InboxKind kind_, std::shared_ptr<Source> source_, std::shared_ptr<ToolRun> run_, std::string text_)
      : kind(kind_), source(std::move(source_)), run(std::move(run_)), text(std::move(text_)) {}
  InboxKind kind = InboxKind::kStop;
  std::shared_ptr<Source> source;  // the line's or end's
  std::shared_ptr<ToolRun> run;
  std::string text;
  std::shared_ptr<const CheckResult> check;
  std::shared_ptr<const PtzReport> ptz;
  std::shared_ptr<const std::vector<SourceEntry>> sources;
};

// Any thread. A line waits while the queue holds more than a few MiB of lines,
// so a tool that floods costs bounded memory (its pipe then fills and it
// waits); anything else never waits.
void inbox_put(InboxItem item);

// Loop thread: the next item, waiting up to timeout_s seconds; false when none came.
bool inbox_take(InboxItem* item, double timeout_s);
