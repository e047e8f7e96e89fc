#include "loop/message_budget.h"

bool MessageBudget::allow(double now, uint64_t* unsaid) {
  std::lock_guard<std::mutex> hold(lock_);
  *unsaid = 0;
  if (second_ < 0 || now - second_ >= 1.0) {
    second_ = now;
    used_ = 0;
  }
  if (used_ >= kMessagesPerSecond) {
    ++dropped_;
    ++unsaid_;
    return false;
  }
  ++used_;
  *unsaid = unsaid_;
  unsaid_ = 0;
  return true;
}

uint64_t MessageBudget::take_unsaid() {
  std::lock_guard<std::mutex> hold(lock_);
  uint64_t n = unsaid_;
  unsaid_ = 0;
  return n;
}

uint64_t MessageBudget::dropped() const {
  std::lock_guard<std::mutex> hold(lock_);
  return dropped_;
}

std::string budget_dropped_text(const std::string& name, uint64_t unsaid) {
  return name + ": " + std::to_string(unsaid) + " more messages dropped (over " + std::to_string(kMessagesPerSecond) +
         " a second)";
}
