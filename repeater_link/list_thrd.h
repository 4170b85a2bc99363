#pragma once

// TListThrd: the input listener. Accepts repeater connections on the input port and starts a
// TTCPEchoThrd for each, numbering them 0, 1, 2, ... (Nr) from its own start.
//
// A port that cannot be bound is reported once on stderr; the listener then accepts nothing
// and waits until it is stopped, and the rest of the server runs on.

#include <atomic>
#include <cstdint>
#include <thread>

#include "platform/tcp.h"

namespace kormlink {

class RepeaterLinkHost;

class TListThrd {
public:
    // Starts listening on port at once (0 picks a free port, for tests).
    TListThrd(RepeaterLinkHost& host, std::int32_t port);
    ~TListThrd();
    TListThrd(const TListThrd&) = delete;
    TListThrd& operator=(const TListThrd&) = delete;

    // Requests termination and waits for the thread to end. Idempotent.
    void stop();

    // The bound port; 0 before binding and when binding failed.
    std::uint16_t boundPort() const { return m_boundPort.load(); }
    // True once the listener has tried to bind (successfully or not).
    bool started() const { return m_started.load(); }

private:
    void run();

    RepeaterLinkHost& m_host;
    const std::int32_t m_port;
    Waker m_stop;
    std::atomic<std::uint16_t> m_boundPort{0};
    std::atomic<bool> m_started{false};
    std::thread m_thread;
};

}  // namespace kormlink
