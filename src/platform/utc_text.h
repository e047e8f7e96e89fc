// A moment as UTC text, as ONVIF's security headers and the supervisor's
// diagnoses write it. utc_text.cpp.
#pragma once
#include <cstdint>
#include <string>

// Seconds since 1970-01-01T00:00:00Z as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_text(int64_t seconds);
