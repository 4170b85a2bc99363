#pragma once

// What one repeater connection may write per minute about lines that are not valid event lines
// (wrong-length "COM" lines, lines with control bytes, excerpts of overlong lines, replies shown
// in the command window). A repeater that sends such lines without end would otherwise fill the
// disk and the console; valid event lines are not counted and always logged, since the event
// log is the record of what was acknowledged.
//
// Up to kLinesPerMinute lines a minute are written; the rest are dropped and counted, and once
// that minute is over one line "<Id> <address>: N lines not logged ..." goes to the status log
// and the command window. The minute runs from the first line written in it.
//
// Main thread, except reportAt().

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kormlink {

class ServerHost;

class LogBudget {
public:
    static constexpr int kLinesPerMinute = 60;
    static constexpr Millis kMinuteMs = 60'000;

    // Writes logText to the status log (unless empty) and shown to the command window (unless
    // empty) when the budget allows; who names the connection in the report of dropped lines.
    void write(ServerHost& host, const std::string& who, std::string_view logText,
               std::string_view shown);
    // Writes the report of dropped lines once their minute is over, or at once when final (the
    // connection ends).
    void report(ServerHost& host, const std::string& who, bool final = false);
    // When report() has something to write, 0 when nothing was dropped. Any thread.
    Millis reportAt() const { return m_reportAt.load(); }

private:
    Millis m_minuteStart = 0;
    int m_written = 0;          // lines written in the minute from m_minuteStart
    std::uint64_t m_dropped = 0;  // not yet reported
    std::atomic<Millis> m_reportAt{0};
};

}  // namespace kormlink
