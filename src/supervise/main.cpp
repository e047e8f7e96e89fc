// qor-ndi-supervise: keeps a set of qor-ndi-send sources up, unattended.
//
//     qor-ndi-supervise [--status HOST:PORT] [--password-file FILE] SOURCES.json
//     qor-ndi-supervise --set-password [--password-file FILE]
//
// and on Windows also as a service (service.h): --install, --uninstall, --reload.
//
// The contract with the tool that it relies on: stop the tool by closing its
// stdin, read its stdout as it comes, decide by the exit code (and by the code
// of the error line before exit 3). docs/qor-ndi-supervise.1.in describes the
// program, docs/events.schema.json every line the tool writes.
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "auth/password.h"
#include "check/camera_check.h"
#include "check/camera_search.h"
#include "check/check_api.h"
#include "check/kept_work.h"
#include "find_cameras.h"
#include "host/notify.h"
#include "host/password_io.h"
#include "host/run_args.h"
#include "host/service.h"
#include "host/set_password.h"
#include "host/signals.h"
#include "host/tool_run.h"
#include "http/status_server.h"
#include "loop/inbox.h"
#include "loop/supervise.h"
#include "report/output.h"
#include "sources/sources.h"
#include "sources/sources_api.h"
#include "startup.h"
#include "status/pictures.h"
#include "status/status.h"

static const int kExitUsage = 64;
static const int kExitNoStatus = 1;  // the status address cannot be listened on

// The page's changes reach the loop as a reload that brings the sources as
// written, and as a restart by name.
static void reload_from_page(std::vector<SourceEntry> sources, std::string tool) {
  InboxItem item;
  item.kind = InboxKind::kReload;
  item.text = std::move(tool);
  item.sources = std::make_shared<const std::vector<SourceEntry>>(std::move(sources));
  inbox_put(std::move(item));
}

static void restart_from_page(const std::string& name) {
  InboxItem item;
  item.kind = InboxKind::kRestart;
  item.text = name;
  inbox_put(std::move(item));
}

// One run over the sources until a stop has ended every tool. A service takes
// its stop and reload from the Service Control Manager, not from console
// events: a service's console handler would also see every user's logoff.
static int run(const std::vector<std::string>& args, bool service) {
  RunArgs a;
  std::string why;
  if (!run_args_parse(args, &a, &why)) {
    if (!why.empty()) say(why);
    fputs(run_args_usage(), stderr);
    fflush(stderr);
    return kExitUsage;
  }
  std::vector<SourceEntry> sources;
  std::string tool;
  if (!service) signals_reading_start();
  bool loaded = sources_load(a.path, &sources, &why, &tool);
  if (!service) signals_reading_done();
  if (!loaded) {
    say(why);
    return kExitUsage;
  }
  if (a.has_status) {
    supervise_publish_first(sources, system_tool_host());
    status_publish_tool(tool);
    StatusLogin login;
    login.password_file = a.password_file.empty() ? password_default_path() : a.password_file;
    login.log = say;
    // The view links beside the password file are written as it is: whole,
    // with the same access, since they open the status and the pictures.
    login.write_file = password_io_write;
    check_api_runner(camera_check_asked);
    camera_search_init(say);
    SourcesApiHooks hooks;
    hooks.log = say;
    hooks.reload = reload_from_page;
    hooks.restart = restart_from_page;
    sources_api_init(a.path, hooks);
    if (!status_server_start(a.status, a.address, login, &why)) {
      say(why);
      return kExitNoStatus;
    }
    // Read at each login, yet a file this account cannot read is worth
    // saying at once: until it can, the page lets nobody in.
    std::string encoded;
    if (password_file_read(login.password_file, &encoded) == PasswordFile::kUnreadable) {
      say("cannot read the password file " + login.password_file + ": the status page lets nobody in until it can");
    }
  }
  // Each tool writes its source's picture for the status page; without a
  // folder for them the sources still run. A service keeps them in its own
  // data folder.
  if (!pictures_open(&why, service ? service_data_folder() + "pictures" : std::string())) {
    say(why + "; the sources run without pictures");
  }
  output_start();
  if (!service) signals_start();
  int code = supervise(a.path, sources, a.has_status, system_tool_host());
  work_stop();
  pictures_close();
  // The last lines (the tools' exit lines) go out if the log takes them; a
  // log that does not cannot hold up the end.
  output_drain(5.0);
  fflush(stderr);
  return code;
}

int main(int argc, char** argv) {
  // What the tool also sets back first: closed standard descriptors, an
  // ignored SIGCHLD (which would lose every tool's exit code), and on Windows
  // the current directory's place in the search for libraries and programs.
  startup_init();
  std::vector<std::string> args(argv + 1, argv + argc);
  // A command of its own, which keeps no sources: the ONVIF client's.
  if (!args.empty() && args[0] == "--find-cameras") {
    int code = find_cameras_main(args);
    fflush(stderr);
    std::_Exit(code);
  }
  if (!args.empty() && args[0] == "--set-password") {
    int code = set_password_main(args);
    fflush(stderr);
    std::_Exit(code);
  }
  // Then the signals are held before any thread exists, and a SIGHUP that
  // comes while the file is read is a reload, not the end.
  signals_init();
  notify_init();

  int code = 0;
  if (!service_command(args, run, &code)) code = run(args, false);
  fflush(stderr);
  // Threads are still blocked in reads (a tool given up on, a stuck log): end
  // without waiting for them or running destructors under them.
  std::_Exit(code);
}
