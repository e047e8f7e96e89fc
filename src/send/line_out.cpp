#include "line_out.h"

#include <string.h>

#include "stdout_write.h"

static bool gCut = false;  // a line was cut off: stdout carries no more lines

bool line_out_write(const char* text, size_t len, int start_ms, int finish_ms) {
  if (gCut) return false;
  char line[kLineMaxBytes + 2];  // the longest newline is CR LF
  size_t newline = strlen(kNewline);
  if (len > kLineMaxBytes) len = kLineMaxBytes;
  memcpy(line, text, len);
  memcpy(line + len, kNewline, newline);
  StdoutWrite result = stdout_write(line, len + newline, start_ms, finish_ms);
  // After a fragment nothing more is written, so that no later line is joined
  // to it.
  if (result == StdoutWrite::kCut) gCut = true;
  return result == StdoutWrite::kWritten;
}
