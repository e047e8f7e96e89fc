// Writing to stdout, never through the C runtime's stream (whose exit flushes
// every stream under that stream's lock, so a write blocked inside one would
// keep the process from ending), however the parent set stdout up: a blocking
// or non-blocking pipe, a socket, a terminal, a file. Both programs write their
// lines through it, each with its own policy on top (the tool's line_out, the
// supervisor's bounded buffer). stdout_write_posix.cpp and stdout_write_win.cpp.
#pragma once
#include <cstddef>

// The end of a line: LF, or CR LF on Windows, as a console program's
// text-mode stdout writes it there.
extern const char kNewline[];

enum class StdoutWrite {
  kWritten,  // all of it went out
  kNoRoom,   // none of it went out in time (on Windows: it may still, whole)
  kCut,      // a part went out: the reader would see a torn line
  kFailed,   // nothing went out and stdout has failed (a reader gone, none at all)
};

// Writes len bytes. start_ms < 0: waits as long as it takes (a non-blocking
// stdout is waited on, never lost). start_ms >= 0: waits up to start_ms for
// room to start (0: only if there is room now), then up to finish_ms more for
// the rest. Windows cannot tell the room left in an anonymous pipe, and a write
// into a full one blocks: there a limited write runs on a thread of its own and
// is waited for up to start_ms (a short moment for 0); one still blocked then
// is kNoRoom and may still go out whole later, and every later write waits for
// it first within its own limit, so writes never interleave. Callers serialise
// calls.
StdoutWrite stdout_write(const char* data, size_t len, int start_ms, int finish_ms);

// Writes len bytes to stderr, waiting as long as it takes (a non-blocking
// stderr too). False when stderr has failed (a reader gone, none at all).
bool stderr_write(const char* data, size_t len);
