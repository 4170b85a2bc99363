#pragma once

// The part of ExchangeIo that every connection provides the same way: its server's
// configuration, clock, command window, event log and error boxes, and stop-aware pauses.

#include "core/server_host.h"
#include "device/command_protocol.h"
#include "platform/tcp.h"

namespace kormlink {

class HostedExchangeIo : public ExchangeIo {
public:
    void pauseMs(Millis ms) override;
    bool stopRequested() const override { return m_stop.isSet(); }
    IniFile readConfig() const override { return m_host.readConfig(); }
    Millis now() const override { return m_host.clock().now(); }
    void show(const std::string& text) override;
    void writeEventLog(const std::string& text) override;
    // Waits until the operator has closed the box, or the connection is told to stop.
    void errorBox(const std::string& text) override;

protected:
    // stop is the connection's stop signal; it may be constructed after this base.
    HostedExchangeIo(ServerHost& host, const Waker& stop) : m_host(host), m_stop(stop) {}

private:
    ServerHost& m_host;
    const Waker& m_stop;
};

}  // namespace kormlink
