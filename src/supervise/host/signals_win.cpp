#include "host/signals.h"

#include <windows.h>

#include "loop/inbox.h"

// Runs on a thread the system creates for the event. For the close, logoff
// and shutdown events the system ends the process as soon as the handler
// returns, so it waits there while the loop stops the tools (their exit lines
// pass on); the end of main then ends the process, this wait included, or the
// system does after its own grace.
static BOOL WINAPI on_console_event(DWORD type) {
  inbox_put(InboxItem());
  if (type == CTRL_CLOSE_EVENT || type == CTRL_LOGOFF_EVENT || type == CTRL_SHUTDOWN_EVENT) Sleep(INFINITE);
  return TRUE;
}

void signals_init() {}

void signals_reading_start() {}

void signals_reading_done() {}

void signals_start() { SetConsoleCtrlHandler(on_console_event, TRUE); }
