// Running unattended as a Windows service: the options that install, remove
// and reload it, and the run under the Service Control Manager, which starts
// the program with --service in front of the arguments --install was given.
// service_win.cpp; service_posix.cpp has none of it (systemd runs the console
// program there).
#pragma once
#include <string>
#include <vector>

// The usage lines of the service's options, each ended ("" without them).
extern const char kServiceUsage[];

// The console run: args are [--status HOST:PORT] SOURCES.json; service: under
// the Service Control Manager (no console events). Returns the exit code.
using RunFunction = int (*)(const std::vector<std::string>& args, bool service);

// True with *code when args are a service option's (--install, --uninstall,
// --reload, or --service, which runs run as the service until it stops);
// false when they are for run itself.
bool service_command(const std::vector<std::string>& args, RunFunction run, int* code);

// What the loop tells the Service Control Manager through notify (nothing
// outside a service): the sources are started, and the stop of every tool has
// begun.
void service_running();
void service_stopping();

// The service's data folder, <ProgramData>\qor-ndi-send\ (with its last
// separator), or empty where there is none.
std::string service_data_folder();
