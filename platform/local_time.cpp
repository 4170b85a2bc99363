#include "platform/local_time.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdio>
#include <ctime>

namespace kormlink {
namespace {

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
long daysFromCivil(long y, unsigned m, unsigned d) {
    y -= m <= 2;
    const long era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<long>(doe) - 719468;
}

std::tm toTm(const LocalTime& t) {
    std::tm tm{};
    tm.tm_year = t.year - 1900;
    tm.tm_mon = t.month - 1;
    tm.tm_mday = t.day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    // Weekday and day of year for locales whose date format names them.
    long days = daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day));
    tm.tm_wday = static_cast<int>(((days % 7) + 11) % 7);  // 1970-01-01 was a Thursday
    tm.tm_yday = static_cast<int>(days - daysFromCivil(t.year, 1, 1));
    return tm;
}

}  // namespace

LocalTime localNow() {
    // Every logged line asks for the time: the conversion (which takes the C library's time
    // zone lock) runs once per second per thread.
    thread_local std::time_t cachedAt = -1;
    thread_local LocalTime cached;
    const std::time_t now = std::time(nullptr);
    if (now != cachedAt) {
        std::tm tm{};
        localtime_r(&now, &tm);
        cached = LocalTime{tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                           tm.tm_hour,        tm.tm_min,     tm.tm_sec};
        cachedAt = now;
    }
    return cached;
}

std::string localeDateTimeText(const LocalTime& t) {
    std::tm tm = toTm(t);
    char buf[128];
    size_t n = std::strftime(buf, sizeof buf, "%x %X", &tm);
    return std::string(buf, n);
}

double dateTimeNumber(const LocalTime& t) {
    long days = daysFromCivil(t.year, static_cast<unsigned>(t.month), static_cast<unsigned>(t.day)) -
                daysFromCivil(1899, 12, 30);
    double secs = t.hour * 3600.0 + t.minute * 60.0 + t.second;
    return static_cast<double>(days) + secs / 86400.0;
}

std::string formatDateTimeNumber(double value) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.15g", value);
    // The program keeps LC_NUMERIC at "C" so protocol numbers never change form; the operator's
    // decimal separator is looked up from the environment's locale for this one text.
    std::string text(buf);
    static const std::string separator = [] {
        std::string sep = ".";
        if (locale_t loc = newlocale(LC_NUMERIC_MASK, "", static_cast<locale_t>(nullptr))) {
            if (const char* r = nl_langinfo_l(RADIXCHAR, loc); r && *r) sep = r;
            freelocale(loc);
        }
        return sep;
    }();
    if (separator != ".") {
        if (auto dot = text.find('.'); dot != std::string::npos) text.replace(dot, 1, separator);
    }
    return text;
}

}  // namespace kormlink

namespace kormlink {
std::string localeDateTimeTextOmitMidnight(const LocalTime& t) {
    if (t.hour != 0 || t.minute != 0 || t.second != 0) return localeDateTimeText(t);
    std::tm tm = toTm(t);
    char buf[128];
    size_t n = std::strftime(buf, sizeof buf, "%x", &tm);
    return std::string(buf, n);
}
}  // namespace kormlink
