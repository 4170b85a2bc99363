#pragma once

// Tells the service manager how the server is doing, when one started it with a notification
// socket (systemd's Type=notify: NOTIFY_SOCKET in the environment). Without one every call does
// nothing, so the program runs the same from a shell.
//
// The main thread owns it: the watchdog is fed from the main loop only, so a main thread that
// no longer serves hand-overs stops feeding it and the service manager restarts the server.

#include <string>
#include <string_view>

#include "platform/clock.h"

namespace kormlink {

class ServiceNotifier {
public:
    // Reads NOTIFY_SOCKET and the watchdog interval (WATCHDOG_USEC) from the environment.
    ServiceNotifier();

    bool enabled() const { return m_enabled; }
    // The watchdog interval the service manager asks for, 0 when it asks for none.
    Millis watchdogIntervalMs() const { return m_watchdogMs; }

    // READY=1, with the first status line.
    void ready(std::string_view status, Millis now);
    // The main loop, every time round: STATUS= when the text changed (at most once a second),
    // WATCHDOG=1 when half the watchdog interval has passed since the last one.
    void tick(std::string_view status, Millis now);
    // How long the main loop may wait before tick() has something due.
    Millis msUntilDue(Millis now) const;
    // STOPPING=1, once the orderly stop begins.
    void stopping();

private:
    void send(const std::string& message);

    bool m_enabled = false;
    bool m_ready = false;
    Millis m_watchdogMs = 0;
    Millis m_lastWatchdog = 0;
    Millis m_lastStatus = 0;
    std::string m_status;         // as last sent
    std::string m_pendingStatus;  // changed, waiting for its second to pass
};

}  // namespace kormlink
