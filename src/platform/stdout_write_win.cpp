#include "stdout_write.h"

#include <stdlib.h>
#include <string.h>
#include <windows.h>

// WriteFile on the standard output handle. A missing stdout (no handle) makes
// every write fail. The process ending ends a write still blocked.

const char kNewline[] = "\r\n";

// A limited write with no room to wait for (start_ms 0) is given this long to
// go through: a pipe being read takes a line at once.
enum { kRoomNowMs = 200 };

struct Pending {
  HANDLE out;
  size_t len;
  char data[1];  // len bytes
};

static HANDLE gBlocked = nullptr;  // the thread of a limited write still under way, or null

// The whole write in the calling thread: 0 written, 1 failed with nothing
// out, 2 failed after a part.
static DWORD write_all(HANDLE out, const char* data, size_t len) {
  size_t done = 0;
  while (done < len) {
    DWORD n = 0;
    if (!WriteFile(out, data + done, (DWORD)(len - done), &n, nullptr) || n == 0) return done > 0 ? 2 : 1;
    done += n;
  }
  return 0;
}

bool stderr_write(const char* data, size_t len) {
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  return err && err != INVALID_HANDLE_VALUE && write_all(err, data, len) == 0;
}

static DWORD WINAPI write_thread(LPVOID arg) {
  Pending* p = (Pending*)arg;
  DWORD result = write_all(p->out, p->data, p->len);
  free(p);
  return result;
}

static StdoutWrite outcome(DWORD result) {
  if (result == 0) return StdoutWrite::kWritten;
  return result == 2 ? StdoutWrite::kCut : StdoutWrite::kFailed;
}

// Waits until deadline (GetTickCount64; 0: without limit) for thread; true
// once it has ended.
static bool wait_until(HANDLE thread, ULONGLONG deadline) {
  DWORD left = INFINITE;
  if (deadline != 0) {
    ULONGLONG now = GetTickCount64();
    left = deadline > now ? (DWORD)(deadline - now) : 0;
  }
  return WaitForSingleObject(thread, left) == WAIT_OBJECT_0;
}

StdoutWrite stdout_write(const char* data, size_t len, int start_ms, int) {
  bool limited = start_ms >= 0;
  ULONGLONG deadline = limited ? GetTickCount64() + (ULONGLONG)(start_ms > 0 ? start_ms : (int)kRoomNowMs) : 0;
  if (gBlocked) {
    if (!wait_until(gBlocked, deadline)) return StdoutWrite::kNoRoom;
    CloseHandle(gBlocked);
    gBlocked = nullptr;
  }
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr) return StdoutWrite::kFailed;
  if (!limited) return outcome(write_all(out, data, len));

  Pending* p = (Pending*)malloc(sizeof(Pending) + len);
  if (!p) return StdoutWrite::kNoRoom;
  memcpy(p->data, data, len);
  p->out = out;
  p->len = len;
  HANDLE thread = CreateThread(nullptr, 0, write_thread, p, 0, nullptr);
  if (!thread) {
    free(p);
    return StdoutWrite::kNoRoom;
  }
  if (!wait_until(thread, deadline)) {
    gBlocked = thread;
    return StdoutWrite::kNoRoom;
  }
  DWORD result = 1;
  GetExitCodeThread(thread, &result);
  CloseHandle(thread);
  return outcome(result);
}
