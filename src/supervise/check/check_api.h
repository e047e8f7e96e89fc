// The camera checks that the status page asks for (POST /api/check): at most
// kChecksAtOnce at a time, run and kept as kept_work.h keeps the page's work.
// The check itself is handed in (check_api_runner), so that the server does
// not depend on the supervisor's code (check_api.cpp).
#pragma once
#include <memory>
#include <string>

#include "check/camera_check.h"

constexpr int kChecksAtOnce = 2;

using CheckRunner = CheckResult (*)(const CheckAsk& ask);

// Before the server starts.
void check_api_runner(CheckRunner runner);

enum class CheckStart { kStarted, kBusy, kFailed };

// Starts a check: kStarted with its id, kBusy when kChecksAtOnce run, kFailed
// without a runner, random bytes for the id, or a thread.
CheckStart check_api_start(const CheckAsk& ask, std::string* id);

// False for an id that is unknown or no longer kept; else true with the
// result, null while the check runs.
bool check_api_find(const std::string& id, std::shared_ptr<const CheckResult>* result);

// The answer to GET /api/check for a kept check: {"state": "running"}, or
// its result as JSON, the snapshot by its address.
std::string check_api_answer(const std::string& id, const std::shared_ptr<const CheckResult>& result);
