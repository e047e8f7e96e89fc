// The supervisor's two streams. Its JSON lines go to stdout and its messages
// for people to stderr, which under systemd are the journal's streams: a log
// that stops draining (a stuck journal, a reader gone) must not stop the loop,
// so each stream has a writer thread of its own that takes the lines from a
// bounded buffer; past the bound a line is dropped whole, the drops are said
// once the stream drains again and counted in /metrics. A service writes both
// to files instead. output.cpp.
#pragma once
#include <cstdint>
#include <string>

enum { kOutputMaxBytes = 1 << 20 };     // lines waiting to be written to stdout, in all
enum { kMessagesMaxBytes = 256 << 10 };  // and to stderr

// Lines of the supervisor's own that stdout (or, for messages, stderr) did
// not take in time and that were dropped, in all; any thread.
uint64_t output_dropped_lines(bool message);

// Starts the writer threads; until then a message is written at once.
void output_start();

// Queues one line (without its newline). Never blocks.
void output_line(std::string line);

// At the end: waits up to timeout_s seconds for the queued lines and messages to be written.
void output_drain(double timeout_s);

// One message for people on stderr, with the program's name before it. Never
// blocks once the writers run.
void say(const std::string& text);

// A service has no console: from here on the lines go to supervise.log and
// the messages to messages.log in folder (given with its trailing separator;
// log_file.h), so that the first holds JSON alone. Call before output_start. False with *why when either cannot be
// opened.
bool output_to_files(const std::string& folder, std::string* why);
