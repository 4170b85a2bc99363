#include "core/daily_logs.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "core/event_line.h"
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

DailyLogs::~DailyLogs() {
    for (OpenLog& open : m_open) flush(open);
}

void DailyLogs::endBatch() const {
    m_inBatch = false;
    for (OpenLog& open : m_open) {
        flush(open);
        open.checked = false;
    }
}

void DailyLogs::flush(OpenLog& open) const {
    if (open.pending.empty()) return;
    if (open.fd && !writeAll(open.fd.get(), open.pending)) open.fd.reset();
    open.pending.clear();
    if (open.pending.capacity() > kMaxPending) std::string().swap(open.pending);
}

void DailyLogs::write(DailyLog log, std::string_view text) const {
    // A lost line is not reported, by design.
    const LocalTime t = m_now();
    OpenLog& open = m_open[static_cast<int>(log)];
    const int period = (t.day + 10) / 10;
    if (open.path.empty() || open.year != t.year || open.month != t.month ||
        open.period != period) {
        flush(open);  // into the file they were written for
        open.fd.reset();
        open.year = t.year;
        open.month = t.month;
        open.period = period;
        open.path = joinPath(m_dataDir, dailyLogName(log, t.year, t.month, t.day));
    }
    struct stat st {};
    const bool same =
        open.fd && ((m_inBatch && open.checked) ||
                    (::stat(open.path.c_str(), &st) == 0 && st.st_dev == open.dev &&
                     st.st_ino == open.ino));
    open.checked = m_inBatch;
    if (!same) {
        flush(open);
        open.fd.reset(::open(open.path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644));
        if (!open.fd || ::fstat(open.fd.get(), &st) != 0) {
            open.fd.reset();
            return;
        }
        open.dev = st.st_dev;
        open.ino = st.st_ino;
    }
    // A control byte inside a line (a CR above all) would forge a record of its own or garble
    // the terminal of whoever reads the file: the logs hold them escaped (\x1B).
    std::string& line = m_inBatch ? open.pending : m_line;
    if (!m_inBatch) line.clear();
    if (hasControlByte(text))
        line += escapeControlBytes(text);
    else
        line.append(text);
    line.append("\r\n");
    // In a batch the lines go in one write at its end (before the answers that wait for the
    // batch leave), or when they fill the buffer.
    if (m_inBatch && line.size() < kMaxPending) return;
    if (!writeAll(open.fd.get(), line)) open.fd.reset();  // opened again for the next line
    line.clear();
}

}  // namespace kormlink
