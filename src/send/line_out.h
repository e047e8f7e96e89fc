// The one writer of stdout: whole lines, each within a time limit, so that a
// reader that does not read can neither stop the run nor receive a torn line.
// line_out.cpp, over the platform's stdout_write.
#pragma once
#include <cstddef>

// Longest line accepted (without its newline); longer text is cut. Event lines
// stay far below it (about 850 bytes at most), and below PIPE_BUF with the
// newline, so a pipe takes each one in a single write.
enum { kLineMaxBytes = 2048 };

// Writes text (len bytes, no newline) and the platform's newline to stdout as
// one line. Waits up to start_ms for room to start it (0: only if there is room
// now); a line once started is given up to finish_ms more to complete. Returns
// false when the line was not written whole: nothing of it went out, or stdout
// failed, or it was cut off at the limit; after a cut-off line nothing more is
// written, so that no later line is joined to the fragment. Callers serialise
// calls (gOutLock).
bool line_out_write(const char* text, size_t len, int start_ms, int finish_ms);
