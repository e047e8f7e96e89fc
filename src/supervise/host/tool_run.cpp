#include "host/tool_run.h"

#include <chrono>
#include <cstring>
#include <system_error>
#include <thread>

#include "host/notify.h"
#include "ptz/ptz_worker.h"
#include "report/output.h"
#include "sources/tool_args.h"
#include "text/address.h"
#include "loop/supervise.h"

enum { kMessageMaxBytes = 4096 };  // a longer stderr line is cut there

static double seconds_now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Says one message of a run's tool with its source's name, within its budget.
static void say_message(ToolRun& run, const std::string& name, const std::string& text) {
  uint64_t unsaid = 0;
  if (!run.messages.allow(seconds_now(), &unsaid)) return;
  if (unsaid > 0) say(budget_dropped_text(name, unsaid));
  say(name + ": " + text);
}

// Thread body, one per run: says each line the tool writes to its stderr (a
// usage text, a runtime's complaint) with its source's name, so that it says
// which source it belongs to and a flood of them costs next to nothing.
// The password in the tool's address never reaches the log.
static void message_thread(std::shared_ptr<ToolRun> run, std::string name, std::string address, intptr_t err) {
  std::string line;
  char buf[16384];
  long n;
  while ((n = child_read(err, buf, sizeof buf)) > 0 && !run->muted) {
    for (long i = 0; i < n; ++i) {
      char c = buf[i];
      if (c == '\n') {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        say_message(*run, name, mask_password(line, address));
        line.clear();
      } else if (line.size() < kMessageMaxBytes) {
        line += c;
      }
    }
  }
  if (!line.empty() && !run->muted) say_message(*run, name, mask_password(line, address));
  // The tool's stderr has ended with it: the drops since its last message said.
  if (uint64_t unsaid = run->messages.take_unsaid()) {
    say(budget_dropped_text(name, unsaid));
  }
  child_close_out(err);
}

// Thread body, one per run: hands every line to the loop, then the end of the
// output. A line over the limit is dropped as it comes, never held whole.
// Once the run is muted, nothing more is handed on.
static void read_thread(std::shared_ptr<ToolRun> run, std::shared_ptr<Source> source, intptr_t out) {
  std::string line;
  bool dropping = false;  // inside a line over the limit
  char buf[16384];
  long n;
  while ((n = child_read(out, buf, sizeof buf)) > 0 && !run->muted) {
    const char* p = buf;
    const char* end = buf + n;
    while (p < end) {
      const char* nl = static_cast<const char*>(memchr(p, '\n', (size_t)(end - p)));
      const char* stop = nl ? nl : end;
      if (!dropping) {
        if (line.size() + (size_t)(stop - p) > kToolLineMaxBytes) {
          dropping = true;
          line.clear();
          line.shrink_to_fit();
          inbox_put({InboxKind::kLongLine, source, run, std::string()});
        } else {
          line.append(p, stop);
        }
      }
      if (!nl) break;
      if (!dropping) inbox_put({InboxKind::kLine, source, run, std::move(line)});
      line.clear();
      dropping = false;
      p = nl + 1;
    }
  }
  // The last line may lack its newline.
  if (!line.empty() && !dropping && !run->muted) inbox_put({InboxKind::kLine, source, run, std::move(line)});
  child_close_out(out);
  if (!run->muted) inbox_put({InboxKind::kEnd, source, run, std::string()});
}

// Thread body: one camera check for the loop.
static void check_thread(std::shared_ptr<Source> source, CheckRequest request) {
  InboxItem item;
  item.kind = InboxKind::kChecked;
  item.source = std::move(source);
  item.check = std::make_shared<CheckResult>(camera_check(request));
  inbox_put(std::move(item));
}

namespace {

class SystemToolHost : public ToolHost {
 public:
  std::shared_ptr<ToolRun> start(const std::vector<std::string>& argv, const std::shared_ptr<Source>& source,
                                 StartFailure* failure) override {
    auto run = std::make_shared<ToolRun>();
    int error = 0;
    if (!child_spawn_apart(argv, true, &run->child, &error)) {
      failure->final = child_error_final(error);
      failure->why = child_error_text(error);
      return nullptr;
    }
    intptr_t out = run->child.out, err = run->child.err;
    run->child.out = run->child.err = -1;  // the readers' from here on
    bool reading = false;
    try {
      std::thread(read_thread, run, source, out).detach();
      reading = true;
      std::thread(message_thread, run, source_name(*source), tool_argv_input(argv), err).detach();
    } catch (const std::system_error& e) {
      // No room for a reader: the tool cannot be heard, so it must not run.
      // Its stdin closes with its kill; a reader that runs ends with its output.
      run->muted = true;
      if (!reading) child_close_out(out);
      child_close_out(err);
      child_kill(&run->child);
      child_close_stdin(&run->child);
      child_wait(&run->child);
      failure->final = false;
      failure->why = std::string("no thread for its output: ") + e.what();
      return nullptr;
    }
    return run;
  }

  void close_stdin(ToolRun* run) override { child_close_stdin(&run->child); }
  void kill(ToolRun* run) override { child_kill(&run->child); }

  bool ended(ToolRun* run, uint32_t* code) override {
    if (!child_poll(&run->child)) return false;
    *code = run->child.code;
    return true;
  }

  void finish(ToolRun* run) override {
    if (!run->output_ended) {
      run->muted = true;
      child_end_group(&run->child);
    }
    child_close_stdin(&run->child);
    child_release(&run->child);
  }

  double now() override { return seconds_now(); }

  bool take(InboxItem* item, double timeout_s) override { return inbox_take(item, timeout_s); }
  void line(std::string text) override { output_line(std::move(text)); }
  void say(const std::string& text) override { ::say(text); }
  void notify(const char* note) override { notify_send(note); }
  double watchdog_every() override { return notify_watchdog_every(); }

  bool check(const std::shared_ptr<Source>& source, const CheckRequest& request) override {
    try {
      // It ends within the check's limit, killing what it started by then;
      // the supervisor does not wait for it when it exits.
      std::thread(check_thread, source, request).detach();
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }

  bool ptz(const std::shared_ptr<Source>& source, const PtzTarget& camera, const Json& command) override {
    // Holds the source only through the sink: the worker goes at its run's end.
    std::weak_ptr<Source> weak = source;
    auto sink = [weak](PtzReport r) {
      InboxItem item;
      item.kind = InboxKind::kPtzDone;
      item.source = weak.lock();
      if (!item.source) return;
      item.ptz = std::make_shared<PtzReport>(std::move(r));
      inbox_put(std::move(item));
    };
    try {
      ptz_workers_command(source.get(), camera, command, sink);
      return true;
    } catch (const std::system_error&) {
      return false;
    }
  }
  void ptz_stop(const std::shared_ptr<Source>& source, bool last) override { ptz_workers_stop(source.get(), last); }
  void ptz_end(double seconds) override { ptz_workers_end(seconds); }
};

}  // namespace

ToolHost& system_tool_host() {
  static SystemToolHost host;
  return host;
}
