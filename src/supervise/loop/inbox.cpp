#include "loop/inbox.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>

static const size_t kMostLineBytes = 4u << 20;  // lines waiting in the queue, in all

static std::mutex gLock;
static std::condition_variable gArrived;  // the loop waits for items
static std::condition_variable gRoom;     // readers wait for room for a line
static std::deque<InboxItem> gItems;
static size_t gLineBytes = 0;

void inbox_put(InboxItem item) {
  std::unique_lock<std::mutex> lock(gLock);
  if (item.kind == InboxKind::kLine) {
    gRoom.wait(lock, [] { return gLineBytes < kMostLineBytes; });
    gLineBytes += item.text.size();
  }
  gItems.push_back(std::move(item));
  gArrived.notify_one();
}

bool inbox_take(InboxItem* item, double timeout_s) {
  std::unique_lock<std::mutex> lock(gLock);
  if (!gArrived.wait_for(lock, std::chrono::duration<double>(timeout_s), [] { return !gItems.empty(); })) {
    return false;
  }
  *item = std::move(gItems.front());
  gItems.pop_front();
  if (item->kind == InboxKind::kLine) {
    gLineBytes -= item->text.size();
    gRoom.notify_all();
  }
  return true;
}
