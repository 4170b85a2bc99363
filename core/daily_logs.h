#pragma once

// The daily logs: event log ("Kormlink/<name>.log"), status log ("Kormlink/<name>.slg") and
// connection log ("Kormlink_c/<name>.log"), relative to the data folder. A file covers a third
// of a month: <name> is the year, the two-digit month, "_" and the period digit
// (day + 10) / 10, so days 1-9 give 1, 10-19 give 2, 20-29 give 3 and 30-31 give 4.
//
// Each line is appended on its own with one write, so other programs may read the files while
// the server runs, and a new date takes effect with the next line. The file stays open between
// lines, but its path is looked up again before the first line of every batch of main-thread
// hand-overs (and before every line outside a batch): when the file was moved, deleted or
// replaced, the line goes to a file opened anew under the path, so an operator who moves a log
// away loses nothing that follows. A line that cannot be written (missing folder, full disk) is
// dropped silently; the folders are never created. Control bytes within a line are written
// escaped (escapeControlBytes), so every line of a log is one record.
//
// Main thread only (connections hand their lines over), so lines never interleave.

#include <sys/types.h>

#include <string>
#include <string_view>

#include "platform/unique_fd.h"

#include "platform/local_time.h"

namespace kormlink {

enum class DailyLog { Event, Status, Connection };

// The file name relative to the data folder, for example "Kormlink/202612_1.log".
std::string dailyLogName(DailyLog log, int year, int month, int day);

class DailyLogs {
public:
    explicit DailyLogs(std::string dataDir, LocalTimeSource now = localNow);
    ~DailyLogs();  // writes what a batch left
    DailyLogs(const DailyLogs&) = delete;
    DailyLogs& operator=(const DailyLogs&) = delete;

    std::string EventLogName() const;
    std::string StatusLogName() const;
    std::string ConnectionLogName() const;

    void WriteEventLog(std::string_view text) const { write(DailyLog::Event, text); }
    void WriteStatusLog(std::string_view text) const { write(DailyLog::Status, text); }
    void WriteConnectionLog(std::string_view text) const { write(DailyLog::Connection, text); }

    // The lines up to the next endBatch() come within a moment: each file's path is looked up
    // once for them, not before each line, and each file gets them in one write at the end.
    void beginBatch() const { m_inBatch = true; }
    void endBatch() const;

private:
    std::string pathFor(DailyLog log) const;
    void write(DailyLog log, std::string_view text) const;

    // One log's open file: the file name it was opened for and the file's identity.
    struct OpenLog {
        int year = 0, month = 0, period = 0;
        std::string path;
        UniqueFd fd;
        dev_t dev = 0;
        ino_t ino = 0;
        bool checked = false;  // the path was looked up in this batch
        std::string pending;   // lines of this batch not written yet
    };
    static constexpr std::size_t kMaxPending = 64 * 1024;
    void flush(OpenLog& open) const;

    std::string m_dataDir;
    LocalTimeSource m_now;
    mutable OpenLog m_open[3];
    mutable std::string m_line;  // the line with its CR LF, reused
    mutable bool m_inBatch = false;
};

}  // namespace kormlink
