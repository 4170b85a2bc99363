#include "core/daily_logs.h"

#include <cstdio>

#include "platform/files.h"

namespace kormlink {

std::string dailyLogName(DailyLog log, int year, int month, int day) {
    const char* folder = log == DailyLog::Connection ? "Kormlink_c/" : "Kormlink/";
    const char* ext = log == DailyLog::Status ? ".slg" : ".log";
    char name[64];
    std::snprintf(name, sizeof name, "%s%d%02d_%d%s", folder, year, month, (day + 10) / 10, ext);
    return name;
}

DailyLogs::DailyLogs(std::string dataDir, LocalTimeSource now)
    : m_dataDir(std::move(dataDir)), m_now(std::move(now)) {}

std::string DailyLogs::pathFor(DailyLog log) const {
    LocalTime t = m_now();
    return joinPath(m_dataDir, dailyLogName(log, t.year, t.month, t.day));
}

std::string DailyLogs::EventLogName() const { return pathFor(DailyLog::Event); }
std::string DailyLogs::StatusLogName() const { return pathFor(DailyLog::Status); }
std::string DailyLogs::ConnectionLogName() const { return pathFor(DailyLog::Connection); }

void DailyLogs::write(DailyLog log, std::string_view text) const {
    appendLine(pathFor(log), text);  // a lost line is not reported, by design
}

}  // namespace kormlink
