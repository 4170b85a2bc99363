#pragma once

// The daily logs: event log ("Kormlink/<name>.log"), status log ("Kormlink/<name>.slg") and
// connection log ("Kormlink_c/<name>.log"), relative to the data folder. A file covers a third
// of a month: <name> is the year, the two-digit month, "_" and the period digit
// (day + 10) / 10, so days 1-9 give 1, 10-19 give 2, 20-29 give 3 and 30-31 give 4.
//
// Each line is a complete open-append-close, so other programs may read or move the files while
// the server runs, and a new date takes effect with the next line. A line that cannot be
// written (missing folder, full disk) is dropped silently; the folders are never created.
//
// Main thread only (connection threads hand their lines over), so lines never interleave.

#include <string>
#include <string_view>

#include "platform/local_time.h"

namespace kormlink {

enum class DailyLog { Event, Status, Connection };

// The file name relative to the data folder, for example "Kormlink/202612_1.log".
std::string dailyLogName(DailyLog log, int year, int month, int day);

class DailyLogs {
public:
    explicit DailyLogs(std::string dataDir, LocalTimeSource now = localNow);

    std::string EventLogName() const;
    std::string StatusLogName() const;
    std::string ConnectionLogName() const;

    void WriteEventLog(std::string_view text) const { write(DailyLog::Event, text); }
    void WriteStatusLog(std::string_view text) const { write(DailyLog::Status, text); }
    void WriteConnectionLog(std::string_view text) const { write(DailyLog::Connection, text); }

private:
    std::string pathFor(DailyLog log) const;
    void write(DailyLog log, std::string_view text) const;

    std::string m_dataDir;
    LocalTimeSource m_now;
};

}  // namespace kormlink
