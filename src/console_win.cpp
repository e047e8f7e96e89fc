#include "console.h"

#include <windows.h>

// Nothing to prepare: Windows has no SIGPIPE, stdout stays in text mode (its
// readers get CR LF, as from any Windows console tool), and stdin is read from
// its handle, past the C runtime's text mode, so a Ctrl-Z byte is only a byte.
void console_init() {}

// ReadFile on the handle, not fgets on stdin: the Microsoft C runtime's exit
// flushes every stream under that stream's lock, and a read blocked in fgets
// holds stdin's lock, so the process would stay alive after its last line until
// the controller closed stdin. A thread blocked in ReadFile holds no runtime
// lock and is simply ended with the process. Zero bytes (the writer closed the
// pipe) or a failure (a broken pipe, or no stdin at all) is the end.
void console_wait_input_end() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  char buf[256];
  DWORD n = 0;
  while (ReadFile(in, buf, sizeof buf, &n, nullptr) && n > 0) {
  }
}
