#include "line_out.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

// WriteFile on the standard output handle, never the C runtime's stdout stream: the
// runtime's exit flushes every stream under that stream's lock, so a line
// blocked inside a stream would keep the process from ending. The newline is
// CR LF, as the text mode of stdout would write it.
//
// An anonymous pipe tells its writer nothing about the room left, and a write
// into a full one blocks until the reader makes room. So each line is written
// by a thread of its own, and the caller waits for that thread within the
// line's limit: up to start_ms, or, for a line that may go out only if there
// is room now (start_ms 0), kRoomNowMs. A write still blocked then is left to
// its thread and the line counts as not written; it may still go out whole
// later, when the reader makes room, and every later line waits for it first
// (within its own limit), so lines never interleave. The process ending ends
// a write still blocked. A missing stdout (no handle) makes every write fail:
// the lines are dropped.
enum { kRoomNowMs = 200 };

struct Pending {
  HANDLE out;
  size_t len;
  char line[kLineMaxBytes + 2];
};

static HANDLE gBlocked = nullptr;  // the thread of a write still under way, or null

static DWORD WINAPI write_thread(LPVOID arg) {
  Pending* p = (Pending*)arg;
  size_t done = 0;
  bool ok = true;
  while (ok && done < p->len) {
    DWORD n = 0;
    ok = WriteFile(p->out, p->line + done, (DWORD)(p->len - done), &n, nullptr) && n > 0;
    done += n;
  }
  free(p);
  return ok ? 0 : 1;
}

// Waits until deadline (GetTickCount64) for thread; true once it has ended.
static bool wait_until(HANDLE thread, ULONGLONG deadline) {
  ULONGLONG now = GetTickCount64();
  DWORD left = deadline > now ? (DWORD)(deadline - now) : 0;
  return WaitForSingleObject(thread, left) == WAIT_OBJECT_0;
}

bool line_out_write(const char* text, size_t len, int start_ms, int) {
  ULONGLONG deadline = GetTickCount64() + (ULONGLONG)(start_ms > 0 ? start_ms : (int)kRoomNowMs);
  if (gBlocked) {
    if (!wait_until(gBlocked, deadline)) return false;
    CloseHandle(gBlocked);
    gBlocked = nullptr;
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr) return false;
  Pending* p = (Pending*)malloc(sizeof(Pending));
  if (!p) return false;
  if (len > kLineMaxBytes) len = kLineMaxBytes;
  memcpy(p->line, text, len);
  p->line[len++] = '\r';
  p->line[len++] = '\n';
  p->out = out;
  p->len = len;
  HANDLE thread = CreateThread(nullptr, 0, write_thread, p, 0, nullptr);
  if (!thread) {
    free(p);
    return false;
  }
  if (!wait_until(thread, deadline)) {
    gBlocked = thread;
    return false;
  }
  DWORD result = 1;
  GetExitCodeThread(thread, &result);
  CloseHandle(thread);
  return result == 0;
}
