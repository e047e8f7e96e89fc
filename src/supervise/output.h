// The supervisor's two streams. Its JSON lines go to stdout, which under
// systemd is the journal's stream: a log that stops draining (a stuck journal,
// a reader gone) must not stop the loop, so a writer thread of its own takes
// the lines from a bounded buffer; past the bound a line is dropped whole, and
// the drops are counted on stderr once the log drains again. Messages for
// people go to stderr at once. A service writes both to files instead.
// output.cpp.
#pragma once
#include <string>

enum { kOutputMaxBytes = 1 << 20 };  // lines waiting to be written, in all

// Starts the writer thread.
void output_start();

// Queues one line (without its newline). Never blocks.
void output_line(std::string line);

// At the end: waits up to timeout_s seconds for the queued lines to be written.
void output_drain(double timeout_s);

// One message for people on stderr, with the program's name before it.
void say(const std::string& text);

// A service has no console: from here on the lines go to supervise.log and
// the messages to messages.log in folder (given with its trailing separator;
// log_file.h), so that the first holds JSON alone. Call before output_start. False with *why when either cannot be
// opened.
bool output_to_files(const std::string& folder, std::string* why);
