#include "line_out.h"

#include <string.h>
#include <windows.h>

// WriteFile on the standard output handle, never the C runtime's stdout stream: the
// runtime's exit flushes every stream under that stream's lock, so a line
// blocked inside a stream would keep the process from ending. The newline is
// CR LF, as the text mode of stdout would write it.
//
// An anonymous pipe tells its writer nothing about the room left, and a write
// into a full one blocks until the reader makes room: the time limits are not
// applied here. The run bounds the wait instead (it does not join a reporter
// that stays blocked, and the exit line gives up on the output lock), and the
// process ending ends a write still blocked. A missing stdout (no handle) makes
// every write fail: the lines are dropped.
bool line_out_write(const char* text, size_t len, int, int) {
  char line[kLineMaxBytes + 2];
  if (len > kLineMaxBytes) len = kLineMaxBytes;
  memcpy(line, text, len);
  line[len++] = '\r';
  line[len++] = '\n';
  HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr) return false;
  size_t done = 0;
  while (done < len) {
    DWORD n = 0;
    if (!WriteFile(out, line + done, (DWORD)(len - done), &n, nullptr) || n == 0) return false;
    done += n;
  }
  return true;
}
