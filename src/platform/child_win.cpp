// Child processes on Windows: CreateProcess with anonymous pipes for the
// standard streams asked for and the null device for the others. Only the
// handles meant for the child are inheritable, and only for the moment of the
// creation (an explicit handle list), so no child holds another's pipe.
#include "child.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "win_cmdline.h"

static HANDLE as_handle(intptr_t h) { return (HANDLE)h; }

// A pipe whose parent end is not inheritable and whose child end is.
static bool make_pipe(HANDLE* child_end, HANDLE* parent_end, bool child_reads) {
  SECURITY_ATTRIBUTES sa;
  memset(&sa, 0, sizeof sa);
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  HANDLE r, w;
  if (!CreatePipe(&r, &w, &sa, 0)) return false;
  *child_end = child_reads ? r : w;
  *parent_end = child_reads ? w : r;
  SetHandleInformation(*parent_end, HANDLE_FLAG_INHERIT, 0);
  return true;
}

// The job of parent_job children: made once, never closed, so only the end of
// this process closes it. Null when the system refuses one; the children then
// run unbound.
static HANDLE parent_job() {
  static HANDLE job = [] {
    HANDLE j = CreateJobObjectA(nullptr, nullptr);
    JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits;
    memset(&limits, 0, sizeof limits);
    limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
    if (j && !SetInformationJobObject(j, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
      CloseHandle(j);
      j = nullptr;
    }
    return j;
  }();
  return job;
}

static void close_handle(HANDLE* h) {
  if (*h && *h != INVALID_HANDLE_VALUE) CloseHandle(*h);
  *h = nullptr;
}

bool child_spawn(const char* const* argv, const ChildOptions& options, Child* child, int* error) {
  *error = ERROR_INVALID_PARAMETER;
  if (!argv || !argv[0] || !argv[0][0]) return false;
  std::string line;
  if (!join_win_cmdline(argv, &line)) return false;

  SECURITY_ATTRIBUTES sa;
  memset(&sa, 0, sizeof sa);
  sa.nLength = sizeof sa;
  sa.bInheritHandle = TRUE;
  HANDLE null_dev = CreateFileA("NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &sa,
                                OPEN_EXISTING, 0, nullptr);
  HANDLE in_child = nullptr, in_parent = nullptr, out_child = nullptr, out_parent = nullptr;
  HANDLE err_pipe = nullptr, err_parent = nullptr;
  bool ok = null_dev != INVALID_HANDLE_VALUE && (!options.pipe_stdin || make_pipe(&in_child, &in_parent, true)) &&
            (!options.pipe_stdout || make_pipe(&out_child, &out_parent, false)) &&
            (!options.pipe_stderr || make_pipe(&err_pipe, &err_parent, false));
  *error = (int)GetLastError();
  HANDLE err_child = options.pipe_stderr      ? err_pipe
                     : options.inherit_stderr ? GetStdHandle(STD_ERROR_HANDLE)
                                              : null_dev;
  // A parent whose own stderr is missing or not inheritable gives the null device.
  DWORD flags = 0;
  if (!options.pipe_stderr && options.inherit_stderr && (!err_child || err_child == INVALID_HANDLE_VALUE ||
                                 !GetHandleInformation(err_child, &flags) ||
                                 !SetHandleInformation(err_child, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT))) {
    err_child = null_dev;
  }

  PROCESS_INFORMATION pi;
  memset(&pi, 0, sizeof pi);
  if (ok) {
    HANDLE stdio[3] = {options.pipe_stdin ? in_child : null_dev, options.pipe_stdout ? out_child : null_dev,
                       err_child};
    // The list names each handle once.
    std::vector<HANDLE> inherit;
    for (HANDLE h : stdio) {
      bool seen = false;
      for (HANDLE k : inherit) seen = seen || k == h;
      if (!seen) inherit.push_back(h);
    }
    HANDLE job = options.parent_job || options.die_with_parent ? parent_job() : nullptr;
    HANDLE jobs[1] = {job};
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 2, 0, &size);
    std::vector<unsigned char> list(size ? size : 1);
    LPPROC_THREAD_ATTRIBUTE_LIST attributes = (LPPROC_THREAD_ATTRIBUTE_LIST)list.data();
    ok = size != 0 && InitializeProcThreadAttributeList(attributes, 2, 0, &size) &&
         UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherit.data(),
                                   inherit.size() * sizeof(HANDLE), nullptr, nullptr);
    // Created inside the job in one step; where the system refuses the
    // attribute, it is put in after, while still suspended.
    if (ok && job) UpdateProcThreadAttribute(attributes, 0, PROC_THREAD_ATTRIBUTE_JOB_LIST, jobs, sizeof jobs,
                                             nullptr, nullptr);
    if (ok) {
      STARTUPINFOEXA si;
      memset(&si, 0, sizeof si);
      si.StartupInfo.cb = sizeof si;
      si.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
      si.StartupInfo.hStdInput = stdio[0];
      si.StartupInfo.hStdOutput = stdio[1];
      si.StartupInfo.hStdError = stdio[2];
      si.lpAttributeList = attributes;
      DWORD creation = EXTENDED_STARTUPINFO_PRESENT |
                       (options.own_session ? CREATE_NEW_PROCESS_GROUP | DETACHED_PROCESS : CREATE_NO_WINDOW) |
                       (job ? CREATE_SUSPENDED : 0);
      ok = CreateProcessA(nullptr, &line[0], nullptr, nullptr, TRUE, creation, nullptr, nullptr, &si.StartupInfo,
                          &pi) != 0;
      *error = (int)GetLastError();
      DeleteProcThreadAttributeList(attributes);
    }
    if (ok && job) {
      // A job that cannot take it leaves the child unbound, not unstarted.
      BOOL in_job = FALSE;
      if (!(IsProcessInJob(pi.hProcess, job, &in_job) && in_job)) AssignProcessToJobObject(job, pi.hProcess);
      ResumeThread(pi.hThread);
    }
  }
  close_handle(&in_child);
  close_handle(&out_child);
  close_handle(&err_pipe);
  close_handle(&null_dev);
  if (!ok) {
    close_handle(&in_parent);
    close_handle(&out_parent);
    close_handle(&err_parent);
    return false;
  }
  CloseHandle(pi.hThread);
  std::lock_guard<std::mutex> hold(child->lock);
  child->pid = pi.dwProcessId;
  child->process = (intptr_t)pi.hProcess;
  child->in = in_parent ? (intptr_t)in_parent : -1;
  child->out = out_parent ? (intptr_t)out_parent : -1;
  child->err = err_parent ? (intptr_t)err_parent : -1;
  child->ended = child->reaped = child->killed = child->kill_sent = false;
  child->kill_group = options.kill_group;
  child->code = 0;
  *error = 0;
  return true;
}

const char* child_error_text(int error) {
  static thread_local char text[256];
  DWORD n = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, (DWORD)error, 0,
                           text, sizeof text, nullptr);
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == '.')) text[--n] = 0;
  if (n == 0) snprintf(text, sizeof text, "error %d", error);
  return text;
}

bool child_error_final(int error) {
  return error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND || error == ERROR_ACCESS_DENIED ||
         error == ERROR_BAD_EXE_FORMAT;
}

void child_close_stdin(Child* child) {
  if (child->in == -1) return;
  CloseHandle(as_handle(child->in));
  child->in = -1;
}

long child_read(intptr_t out, char* buffer, size_t size) {
  DWORD got = 0;
  if (!ReadFile(as_handle(out), buffer, (DWORD)size, &got, nullptr)) return 0;
  return (long)got;
}

void child_close_out(intptr_t out) {
  if (out != -1) CloseHandle(as_handle(out));
}

// The code child_kill ends a child with: as a POSIX SIGKILL shows.
static const UINT kKilledCode = 128 + 9;

// Under the child's lock, once its handle is signalled. A failed query yields 0.
static void take_end(Child* child) {
  if (child->ended) return;
  DWORD code = 0;
  GetExitCodeProcess(as_handle(child->process), &code);
  child->code = code;
  child->killed = child->kill_sent && code == kKilledCode;
  child->ended = true;
}

// Under the child's lock: the handle closed, after which the pid may be reused.
static void release(Child* child) {
  if (child->reaped || child->process == -1) return;
  take_end(child);
  CloseHandle(as_handle(child->process));
  child->process = -1;
  child->reaped = true;
}

uint32_t child_wait(Child* child) {
  HANDLE process;
  {
    std::lock_guard<std::mutex> hold(child->lock);
    if (child->reaped || child->process == -1) return child->code;
    process = as_handle(child->process);
  }
  // Only this thread releases, so the handle stays open while it waits.
  WaitForSingleObject(process, INFINITE);
  std::lock_guard<std::mutex> hold(child->lock);
  release(child);
  return child->code;
}

bool child_poll(Child* child) {
  std::lock_guard<std::mutex> hold(child->lock);
  if (child->ended || child->process == -1) return true;
  if (WaitForSingleObject(as_handle(child->process), 0) != WAIT_OBJECT_0) return false;
  take_end(child);
  return true;
}

void child_release(Child* child) {
  std::lock_guard<std::mutex> hold(child->lock);
  if (child->ended) release(child);
}

void child_end_group(Child*) {}

void child_kill(Child* child) {
  std::lock_guard<std::mutex> hold(child->lock);
  if (child->reaped || child->process == -1) return;
  if (TerminateProcess(as_handle(child->process), kKilledCode)) child->kill_sent = true;
}

intptr_t child_parent_job() { return (intptr_t)parent_job(); }
