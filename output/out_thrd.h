#pragma once

// TOutThrd: the serial output. Serves the first channel of the list (the serial channel "Com")
// over a serial port: sends the queue head as a line ended by LF alone, waits up to 5 s for the
// receiver's CR, and only then removes the line. Every Out/SyncP minutes it sends "systime"
// with the day number instead. The link counts as one of the channel's Connected after an
// answered line and no longer after an unanswered one.
//
// A port that cannot be opened is reported ("Cannot open Com port!") and the thread still runs
// its cycle: every line waits out its 5 s unanswered and leaves the queue only by expiring.
// Meanwhile, and whenever the port goes away later (a USB adapter pulled), it is tried again
// every 5 s, with one line on stderr when it goes and one when it is back; no new box.

#include <atomic>
#include <memory>
#include <optional>
#include <thread>

#include "platform/serial.h"
#include "platform/tcp.h"

namespace kormlink {

class ServerHost;
class tOItem;

class TOutThrd {
public:
    static constexpr Millis kAnswerTimeoutMs = 5'000;
    static constexpr Millis kWriteTimeoutMs = 1'000;
    static constexpr Millis kIdlePauseMs = 20;

    // Starts at once. The channel list must hold its serial channel first.
    explicit TOutThrd(ServerHost& host);
    ~TOutThrd();
    TOutThrd(const TOutThrd&) = delete;
    TOutThrd& operator=(const TOutThrd&) = delete;

    // Requests termination and waits for the thread (at most one cycle). Idempotent.
    void stop();

private:
    void run();
    void cycle();
    void setConnected(bool up);
    bool pause(Millis ms);

    ServerHost& m_host;
    Waker m_stop;
    std::optional<ReopeningSerialPort> m_port;
    tOItem* m_channel = nullptr;  // the first channel; lives until after this thread stops
    bool m_linkUp = false;        // counted in the channel's Connected
    Millis SyncPeriod = 0;
    Millis m_nextSync = 0;
    double m_lifetime = 0;
    std::atomic<bool> m_ended{false};
    std::thread m_thread;
};

}  // namespace kormlink
