// Stop requests on Windows: the end of stdin, and the console's control events.
// A handler registered with SetConsoleCtrlHandler runs on a thread the system
// starts for each event; it only sets events that the stop watcher waits on.
// stdin is read by a thread of its own, since a pipe cannot be waited on
// together with an event.
#include "console.h"

#include <windows.h>

static HANDLE gAsked;        // a console event asked for the stop (manual reset)
static HANDLE gAskedAgain;   // a second Ctrl-C or Ctrl-Break came (manual reset)
static HANDLE gInputEnded;   // stdin ended or failed (manual reset)
static volatile LONG gBreaks;  // Ctrl-C and Ctrl-Break events so far

static BOOL WINAPI on_console_event(DWORD type) {
  switch (type) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      if (InterlockedIncrement(&gBreaks) > 1) SetEvent(gAskedAgain);
      SetEvent(gAsked);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The system ends the process as soon as this returns (and a closed
      // console after about 5 s anyway). Waiting here lets the run stop, destroy
      // the sender and write exit; its return from main then ends the process,
      // this wait included, with the run's own exit code.
      SetEvent(gAsked);
      Sleep(INFINITE);
      return TRUE;
  }
  return FALSE;
}

// Stdout stays in text mode (its readers get CR LF, as from any Windows console
// tool), and there is no SIGPIPE. A process started with CREATE_NEW_PROCESS_GROUP
// has Ctrl-C switched off by the system; that is left as it is (Ctrl-Break
// still comes). Without the events the handler is not registered and the
// console events end the process as by default.
void console_init() {
  gAsked = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  gAskedAgain = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  gInputEnded = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  if (gAsked && gAskedAgain && gInputEnded) SetConsoleCtrlHandler(on_console_event, TRUE);
}

// ReadFile on the handle, not fgets on stdin: the Microsoft C runtime's exit
// flushes every stream under that stream's lock, and a read blocked in fgets
// holds stdin's lock, so the process would stay alive after its last line until
// the controller closed stdin. A thread blocked in ReadFile holds no runtime
// lock and is simply ended with the process. Zero bytes (the writer closed the
// pipe) or a failure (a broken pipe, or no stdin at all) is the end. Anonymous
// pipes have no non-waiting mode to inherit here, so every read waits.
static void read_until_end() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[256];
  DWORD n = 0;
  while (ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
  }
}

static DWORD WINAPI input_thread(LPVOID) {
  read_until_end();
  SetEvent(gInputEnded);
  return 0;
}

void console_wait_stop() {
  HANDLE reader = gInputEnded ? CreateThread(nullptr, 0, input_thread, nullptr, 0, nullptr) : nullptr;
  if (!reader) {
    // Only stdin can be watched: console events end the process as by default,
    // unless one has already asked for the stop.
    SetConsoleCtrlHandler(on_console_event, FALSE);
    if (!(gAsked && WaitForSingleObject(gAsked, 0) == WAIT_OBJECT_0)) read_until_end();
    return;
  }
  CloseHandle(reader);
  HANDLE either[2] = {gInputEnded, gAsked};
  WaitForMultipleObjects(2, either, FALSE, INFINITE);
}

bool console_stop_signalled() { return gAsked && WaitForSingleObject(gAsked, 0) == WAIT_OBJECT_0; }

int console_wait_second_signal() {
  if (!gAskedAgain || WaitForSingleObject(gAskedAgain, INFINITE) != WAIT_OBJECT_0) {
    for (;;) Sleep(INFINITE);
  }
  return CTRL_C_EVENT;
}

void console_end_by_signal(int) {
  // What the system's own handler gives a process ended by Ctrl-C, without
  // running the runtime's or the libraries' exit code.
  TerminateProcess(GetCurrentProcess(), STATUS_CONTROL_C_EXIT);
  for (;;) Sleep(INFINITE);
}

void console_end_now(int code) {
  TerminateProcess(GetCurrentProcess(), (UINT)code);
  for (;;) Sleep(INFINITE);
}
