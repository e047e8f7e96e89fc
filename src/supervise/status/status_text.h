// The status as the server answers with it: /status.json and /metrics, from a
// snapshot (status.h) at now. status_json.cpp and metrics.cpp.
#pragma once
#include <chrono>
#include <string>
#include <vector>

#include "status/status.h"

std::string status_json_text(const std::vector<StatusRow>& rows, std::chrono::steady_clock::time_point now);
std::string metrics_text(const std::vector<StatusRow>& rows, const std::string& tool,
                         std::chrono::steady_clock::time_point now);
