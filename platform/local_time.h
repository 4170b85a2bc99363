#pragma once

// Local (wall-clock) date and time: time stamps in lines, log file names, the connection log's
// date-time text and the day-count number sent to monitoring clients.

#include <functional>
#include <string>

namespace kormlink {

struct LocalTime {
    int year = 0;    // four digits
    int month = 0;   // 1-12
    int day = 0;     // 1-31
    int hour = 0;    // 0-23
    int minute = 0;  // 0-59
    int second = 0;  // 0-59 (60 on a leap second)
};

// The current local time (localtime_r, so the TZ setting applies).
LocalTime localNow();

// Source of the current local time; tests substitute a fixed date.
using LocalTimeSource = std::function<LocalTime()>;

// Date and time as the operator's locale writes them: its short date and long time, "%x %X".
std::string localeDateTimeText(const LocalTime& t);

// Days since 30 December 1899, with the time of day as the fraction.
double dateTimeNumber(const LocalTime& t);

// dateTimeNumber printed with at most 15 significant digits and the locale's decimal separator.
std::string formatDateTimeNumber(double value);

}  // namespace kormlink

namespace kormlink {
// As localeDateTimeText, but the time is left out when it is exactly midnight.
std::string localeDateTimeTextOmitMidnight(const LocalTime& t);
}  // namespace kormlink
