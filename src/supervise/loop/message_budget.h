// How many of a tool's own messages reach the log: its stderr lines and the
// stdout lines that are not events, at most kMessagesPerSecond a second per
// run, so that a tool that floods either costs the supervisor next to nothing
// and cannot bury the other sources' messages. The rest are counted, said once
// when the next second opens, and shown in /metrics. Any thread. message_budget.cpp.
#pragma once
#include <cstdint>
#include <mutex>
#include <string>

enum { kMessagesPerSecond = 20 };

// What is said of the unsaid messages of a source's run before its next one.
std::string budget_dropped_text(const std::string& name, uint64_t unsaid);

class MessageBudget {
 public:
  // Whether a message at now (seconds, a clock that never goes back) may go
  // out. *unsaid is set to the messages dropped since the last one that went
  // out, when this one is the first after drops (0 otherwise), for the caller
  // to say so first.
  bool allow(double now, uint64_t* unsaid);
  // Every message dropped so far.
  uint64_t dropped() const;
  // The messages dropped since the last one that went out, to say at the end
  // of the run; they count as said.
  uint64_t take_unsaid();

 private:
  mutable std::mutex lock_;
  double second_ = -1.0;  // when the current second opened
  int used_ = 0;          // messages that went out in it
  uint64_t dropped_ = 0;
  uint64_t unsaid_ = 0;   // dropped since the last that went out
};
