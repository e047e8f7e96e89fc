// The decoder process on Windows: created suspended and windowless, put into a
// kill-on-close job, then resumed, so it runs its first instruction already
// bound to the tool. When the tool's process ends for any reason, the last
// handle to the job closes and the system kills the decoder.
#include "process.h"

#include <windows.h>

#include <cstring>
#include <string>

#include "win_cmdline.h"

// Written on the main thread before any other thread exists; read afterwards.
static PROCESS_INFORMATION gChild;
// Never closed: closing it would kill the decoder. Released with the process.
static HANDLE gJob;

static_assert(sizeof(STARTUPINFOA) == 104, "start-up record of the x64 ABI");
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "job limit record of the x64 ABI");

bool start_child(const char* const* argv) {
  if (gChild.hProcess && WaitForSingleObject(gChild.hProcess, 0) == WAIT_TIMEOUT) return false;

  std::string line;
  if (!join_win_cmdline(argv, &line)) return false;

  // The job is made ready before the decoder exists, so that only the
  // assignment stands between its creation and its binding: if the tool dies
  // in that gap, the decoder is left suspended, never having run. Every job
  // result is ignored on purpose: without a job the decoder still runs, only
  // unbound.
  if (!gJob) {
    gJob = CreateJobObjectA(nullptr, nullptr);
    if (gJob) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
      memset(&limits, 0, sizeof limits);
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(gJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
  }

  STARTUPINFOA si;
  memset(&si, 0, sizeof si);
  si.cb = sizeof si;
  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  // No application name: the first element of the line names the program and
  // the system's usual search finds a bare name. Handle inheritance is off, so
  // no listener or connection of the tool reaches the decoder.
  if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED,
                      nullptr, nullptr, &si, &pi)) {
    return false;
  }
  gChild = pi;
  if (gJob) AssignProcessToJobObject(gJob, gChild.hProcess);
  ResumeThread(gChild.hThread);
  return true;
}

bool child_started() { return gChild.hProcess != nullptr; }

uint32_t child_pid() { return gChild.dwProcessId; }

uint32_t wait_child() {
  if (!gChild.hProcess) return 0;
  WaitForSingleObject(gChild.hProcess, INFINITE);
  DWORD code = 0;  // a failed query yields 0
  GetExitCodeProcess(gChild.hProcess, &code);
  return code;
}

void terminate_child() {
  if (gChild.hProcess) TerminateProcess(gChild.hProcess, 0);
}
