#include "signals.h"

#include <windows.h>

#include "inbox.h"

// Runs on a thread the system creates for the event. Returning TRUE keeps the
// process alive for the close, logoff and shutdown events too while the loop
// stops the tools; the system ends it after its own grace.
static BOOL WINAPI on_console_event(DWORD) {
  inbox_put(InboxItem());
  return TRUE;
}

void signals_init() {}

void signals_start() { SetConsoleCtrlHandler(on_console_event, TRUE); }
