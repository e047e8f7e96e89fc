// The work the status page starts and then asks after (camera checks, camera
// searches): each on a thread of its own, answered with an id at once, since
// the server ends every connection within 10 s and a camera may take longer.
// Each result is kept kWorkKept after it came, at most kWorkKeptMost of them
// of every kind together; the threads are joined at the end. kept_work.cpp.
#pragma once
#include <chrono>
#include <cstddef>
#include <functional>
#include <memory>
#include <string>

constexpr size_t kWorkKeptMost = 16;
constexpr std::chrono::minutes kWorkKept{10};

enum class WorkKind { kCheck, kCameras };
enum class WorkStart { kStarted, kBusy, kFailed };

// A result of the kind's own type, which work_find gives back to that kind only.
using WorkResult = std::shared_ptr<const void>;

// Starts work: kStarted with its id, kBusy when at_once of its kind run,
// kFailed after the end, or without random bytes for the id or a thread.
WorkStart work_start(WorkKind kind, int at_once, std::function<WorkResult()> work, std::string* id);

// False for an id of another kind, unknown or no longer kept; else true with
// the result, null while the work runs.
bool work_find(WorkKind kind, const std::string& id, WorkResult* result);

// At the end: no more work starts, and the threads that still run are waited
// for (each ends within its own limit).
void work_stop();
