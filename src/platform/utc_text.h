// A moment as UTC text, as ONVIF's security headers and the supervisor's
// diagnoses write it. utc_text.cpp.
#pragma once
#include <cstdint>
#include <string>

// Seconds since 1970-01-01T00:00:00Z as "YYYY-MM-DDTHH:MM:SSZ".
std::string utc_text(int64_t seconds);

// Days since 1970-01-01 of a proleptic Gregorian date (Howard Hinnant's
// days_from_civil): no timegm() on Windows, and no time zone may enter.
int64_t utc_days_from_civil(int64_t y, unsigned m, unsigned d);
