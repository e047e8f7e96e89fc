// The snapshot the loop hands to the status server. The loop builds the rows
// outside the lock and swaps them in; a reader copies them out: neither holds
// the lock for longer than that.
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "status/status.h"

namespace {
// Never destroyed: the status server's threads may still read them while the
// program exits.
std::mutex& gStatusLock = *new std::mutex;
std::vector<StatusRow>& gStatusRows = *new std::vector<StatusRow>;
std::string& gStatusTool = *new std::string;
}  // namespace

void status_publish(std::vector<StatusRow> rows) {
  std::vector<StatusRow> old;
  {
    std::lock_guard<std::mutex> lock(gStatusLock);
    old.swap(gStatusRows);
    gStatusRows = std::move(rows);
  }
  // old is freed here, outside the lock.
}

std::vector<StatusRow> status_snapshot() {
  std::lock_guard<std::mutex> lock(gStatusLock);
  return gStatusRows;
}

void status_publish_tool(std::string tool) {
  std::lock_guard<std::mutex> lock(gStatusLock);
  gStatusTool.swap(tool);
}

std::string status_tool() {
  std::lock_guard<std::mutex> lock(gStatusLock);
  return gStatusTool;
}

bool status_frozen(const StatusRow& row, std::chrono::steady_clock::time_point now) {
  return row.stall > 0 && row.running && row.fps > 0 && row.picture &&
         std::chrono::duration<double>(now - row.picture_at).count() <= kPictureSilenceSeconds &&
         std::chrono::duration<double>(now - row.picture_same_since).count() >= row.stall;
}
