#include "core/DateText.hpp"

#include <cstdio>
#include <ctime>

namespace tessaron::core {

std::string formatDate(TimePoint when, const char* pattern, TimeZone zone) {
    std::time_t seconds = Clock::to_time_t(when);
    std::tm parts{};
    if (zone == TimeZone::utc)
        gmtime_r(&seconds, &parts);
    else
        localtime_r(&seconds, &parts);
    char buffer[128];
    size_t length = std::strftime(buffer, sizeof buffer, pattern, &parts);
    return std::string(buffer, length);
}

std::string dateTimeText(TimePoint when) { return formatDate(when, "%Y-%m-%d %H:%M:%S"); }

std::string fileStampText(TimePoint when) { return formatDate(when, "%Y-%m-%d_%H%M%S"); }

std::string iso8601Text(TimePoint when) { return formatDate(when, "%Y-%m-%dT%H:%M:%SZ", TimeZone::utc); }

std::optional<TimePoint> parseISO8601(const std::string& text) {
    int year, month, day, hour, minute, second;
    int consumed = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute, &second, &consumed) != 6)
        return std::nullopt;
    size_t position = size_t(consumed);
    if (position < text.size() && text[position] == '.') {
        ++position;
        while (position < text.size() && text[position] >= '0' && text[position] <= '9') ++position;
    }
    if (position + 1 != text.size() || text[position] != 'Z') return std::nullopt;
    if (month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
    std::tm parts{};
    parts.tm_year = year - 1900;
    parts.tm_mon = month - 1;
    parts.tm_mday = day;
    parts.tm_hour = hour;
    parts.tm_min = minute;
    parts.tm_sec = second;
    return Clock::from_time_t(timegm(&parts));
}

double secondsSince1970(TimePoint when) {
    return std::chrono::duration<double>(when.time_since_epoch()).count();
}

}  // namespace tessaron::core
