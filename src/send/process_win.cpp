// The decoder process on Windows: created suspended and windowless inside a
// kill-on-close job, then resumed, so it runs its first instruction already
// bound to the tool. When the tool's process ends for any reason, the last
// handle to the job closes and the system kills the decoder, suspended or not.
#include "process.h"
#include "process_win.h"

#include <windows.h>

#include <cstring>
#include <string>
#include <vector>

#include "win_cmdline.h"

// Written on the main thread before any other thread exists; read afterwards.
static PROCESS_INFORMATION gChild;
// Never closed: closing it would kill the decoder. Released with the process.
static HANDLE gJob;

static_assert(sizeof(STARTUPINFOA) == 104, "start-up record of the x64 ABI");
static_assert(sizeof(STARTUPINFOEXA) == 112, "extended start-up record of the x64 ABI");
static_assert(sizeof(JOBOBJECT_EXTENDED_LIMIT_INFORMATION) == 144, "job limit record of the x64 ABI");

// Creates the decoder suspended and already inside gJob, in one step, through
// the job-list attribute of the extended start-up record. False when there is
// no job, the system refuses the attribute, or the creation fails.
static bool create_in_job(char* line, PROCESS_INFORMATION* pi) {
  if (!gJob) return false;
  SIZE_T size = 0;
  InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
  if (size == 0) return false;
  std::vector<unsigned char> list(size);
  LPPROC_THREAD_ATTRIBUTE_LIST attributes = (LPPROC_THREAD_ATTRIBUTE_LIST)list.data();
  if (!InitializeProcThreadAttributeList(attributes, 1, 0, &size)) return false;
  HANDLE jobs[1] = {gJob};
  bool created = false;
  if (UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs, sizeof jobs, nullptr, nullptr)) {
    STARTUPINFOEXA si;
    memset(&si, 0, sizeof si);
    si.StartupInfo.cb = sizeof si;
    si.lpAttributeList = attributes;
    created = CreateProcessA(nullptr, line, nullptr, nullptr, FALSE,
                             CREATE_NO_WINDOW | CREATE_SUSPENDED | EXTENDED_STARTUPINFO_PRESENT, nullptr, nullptr,
                             &si.StartupInfo, pi) != 0;
  }
  DeleteProcThreadAttributeList(attributes);
  return created;
}

bool start_child(const char* const* argv) {
  if (gChild.hProcess && WaitForSingleObject(gChild.hProcess, 0) == WAIT_TIMEOUT) return false;

  std::string line;
  if (!join_win_cmdline(argv, &line)) return false;

  // The job is made ready before the decoder exists. Every job result is
  // ignored on purpose: without a job the decoder still runs, only unbound.
  if (!gJob) {
    gJob = CreateJobObjectA(nullptr, nullptr);
    if (gJob) {
      JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
      memset(&limits, 0, sizeof limits);
      limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
      SetInformationJobObject(gJob, JobObjectExtendedLimitInformation, &limits, sizeof limits);
    }
  }

  // No application name: the first element of the line names the program and
  // the system's usual search finds a bare name. Handle inheritance is off, so
  // no listener or connection of the tool reaches the decoder.
  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  if (!create_in_job(&line[0], &pi)) {
    // The system refused the job attribute (or the start failed for a reason
    // of its own, which the plain start meets again): create, then assign. A
    // tool killed between the two leaves a suspended process behind, which is
    // why this is only the fallback.
    STARTUPINFOA si;
    memset(&si, 0, sizeof si);
    si.cb = sizeof si;
    if (!CreateProcessA(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW | CREATE_SUSPENDED, nullptr,
                        nullptr, &si, &pi)) {
      return false;
    }
  }
  gChild = pi;
  // One check before the decoder runs: a system that took the attribute without
  // honouring it gets the assignment instead.
  BOOL in_job = FALSE;
  if (gJob && !(IsProcessInJob(gChild.hProcess, gJob, &in_job) && in_job)) {
    AssignProcessToJobObject(gJob, gChild.hProcess);
  }
  ResumeThread(gChild.hThread);
  return true;
}

bool child_started() { return gChild.hProcess != nullptr; }

uint32_t child_pid() { return gChild.dwProcessId; }

HANDLE child_job() { return gJob; }

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
