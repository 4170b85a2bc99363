#pragma once

// The hold-back and repetition of a repeater's status lines (its reports about itself).
//
// A status line is passed on when it differs from the previous one in its state content
// (positions 47-62), marked "0" at position 44, or, unchanged, at most once per test time,
// freshly time-stamped and marked "8". The check runs for every valid event line, so a silent
// repeater produces no repetitions. One object per repeater connection, used on the main
// thread.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "platform/local_time.h"
#include "core/event_line.h"

namespace kormlink {

class StatusLines {
public:
    // The serial link does not force a forward when no previous status line is known; it waits
    // for the test time as after any forward.
    explicit StatusLines(bool forceFirstForward) : m_forceFirst(forceFirstForward) {}

    // Takes one valid event line. True when it is a status line: it is then held back, and
    // due() decides when it is passed on.
    bool take(const std::string& line, const EventFields& fields);

    // The status line to pass on now, stamped with t, or nullopt when none is due.
    std::optional<std::string> due(Millis now, std::int64_t testTime, const LocalTime& t);

    // One valid event line: the line itself unless it is a status line held back, then a due
    // repetition, each handed to forward in that order.
    void offer(const std::string& line, const EventFields& fields, Millis now,
               std::int64_t testTime, const LocalTime& t,
               const std::function<void(std::string)>& forward);

private:
    const bool m_forceFirst;
    std::string PrevStatus;
    Millis LastForward = 0;
    bool m_forwardDue = true;  // "LastForward = 0": the next check forwards whatever the clock
    int StatusFlag = 0;
};

}  // namespace kormlink
