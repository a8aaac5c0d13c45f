#pragma once

#include <chrono>
#include <optional>
#include <string>

namespace tessaron::core {

using Clock = std::chrono::system_clock;
using TimePoint = Clock::time_point;

enum class TimeZone { local, utc };

// strftime pattern in the given zone, C locale ("%Y-%m-%d %H:%M:%S").
std::string formatDate(TimePoint when, const char* pattern, TimeZone zone = TimeZone::local);

// "yyyy-MM-dd HH:mm:ss", local time: log headers and log lines.
std::string dateTimeText(TimePoint when);
// "yyyy-MM-dd_HHmmss", local time: file and folder stamps.
std::string fileStampText(TimePoint when);
// ISO 8601 in UTC with whole seconds and "Z": "2026-12-07T04:46:57Z".
std::string iso8601Text(TimePoint when);
// Reads the ISO 8601 form above (fractional seconds accepted and dropped).
std::optional<TimePoint> parseISO8601(const std::string& text);

// Seconds since 1970 as a double, the form several records store.
double secondsSince1970(TimePoint when);

}  // namespace tessaron::core
