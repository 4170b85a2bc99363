#include "platform/service_notify.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>

#include <systemd/sd-daemon.h>

namespace kormlink {

namespace {
constexpr Millis kStatusSpacingMs = 1000;
}

ServiceNotifier::ServiceNotifier() {
    const char* socket = std::getenv("NOTIFY_SOCKET");
    m_enabled = socket && *socket;
    std::uint64_t usec = 0;
    // Also checks WATCHDOG_PID, so a watchdog meant for another process is not fed from here.
    if (m_enabled && sd_watchdog_enabled(0, &usec) > 0 && usec > 0)
        m_watchdogMs = std::max<Millis>(static_cast<Millis>(usec / 1000), 2);
}

void ServiceNotifier::send(const std::string& message) {
    // A failed notification changes nothing for the server; the service manager judges it by
    // what arrives.
    sd_notify(0, message.c_str());
}

void ServiceNotifier::ready(std::string_view status, Millis now) {
    if (!m_enabled || m_ready) return;
    m_ready = true;
    m_status.assign(status);
    m_pendingStatus.clear();
    m_lastStatus = now;
    m_lastWatchdog = now;
    send("READY=1\nSTATUS=" + m_status + (m_watchdogMs > 0 ? "\nWATCHDOG=1" : ""));
}

void ServiceNotifier::tick(std::string_view status, Millis now) {
    if (!m_enabled || !m_ready) return;
    if (status != m_status) m_pendingStatus.assign(status);
    else m_pendingStatus.clear();
    if (!m_pendingStatus.empty() && now - m_lastStatus >= kStatusSpacingMs) {
        m_status.swap(m_pendingStatus);
        m_pendingStatus.clear();
        m_lastStatus = now;
        send("STATUS=" + m_status);
    }
    if (m_watchdogMs > 0 && now - m_lastWatchdog >= m_watchdogMs / 2) {
        m_lastWatchdog = now;
        send("WATCHDOG=1");
    }
}

Millis ServiceNotifier::msUntilDue(Millis now) const {
    Millis wait = 3'600'000;
    if (!m_enabled || !m_ready) return wait;
    if (!m_pendingStatus.empty()) wait = std::min(wait, m_lastStatus + kStatusSpacingMs - now);
    if (m_watchdogMs > 0) wait = std::min(wait, m_lastWatchdog + m_watchdogMs / 2 - now);
    return std::max<Millis>(wait, 0);
}

void ServiceNotifier::stopping() {
    if (!m_enabled) return;
    send("STOPPING=1\nSTATUS=Stopping: saving the queues");
}

}  // namespace kormlink
