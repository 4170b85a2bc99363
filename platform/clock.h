#pragma once

// Monotonic time for supervision: time-outs, idle limits, synchronisation periods.
//
// Tick counts are signed 64-bit milliseconds from std::chrono::steady_clock, so they never wrap
// and plain comparisons are correct. Wall-clock time (log names, time stamps) lives in
// local_time.h instead.

#include <atomic>
#include <cstdint>

namespace kormlink {

using Millis = std::int64_t;

class Clock {
public:
    virtual ~Clock() = default;
    // Milliseconds on a monotonic scale. Thread-safe.
    virtual Millis now() const = 0;
};

// The real monotonic clock.
class SteadyClock final : public Clock {
public:
    Millis now() const override;
};

// The real clock plus an offset that tests move forward to skip long periods (for example a
// synchronisation period of minutes) without sleeping. Thread-safe.
class OffsetClock final : public Clock {
public:
    Millis now() const override;
    void advance(Millis ms) { m_offset += ms; }

private:
    std::atomic<Millis> m_offset{0};
};

Clock& steadyClock();

// Sleeps for ms milliseconds (nothing for ms <= 0).
void sleepMs(Millis ms);

// Waits ms milliseconds unless wakeFd (a thread's stop waker) becomes readable first; true
// when the whole time passed. A signal that interrupts the wait does not end it: the wait goes
// on to the same deadline.
bool pauseUnlessWoken(int wakeFd, Millis ms);

}  // namespace kormlink
