#pragma once

// What a repeater connection needs from the server that owns it. The server model implements
// it; it outlives every connection thread it starts (StopServer waits for all of them).

#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/ini.h"
#include "platform/local_time.h"

namespace kormlink {

class DailyLogs;
class MainThread;
class OperatorView;
class tHostList;

// Where an event came from: the output side checks duplicates only for TCP repeaters.
enum class EventSource { Tcp, Serial };

class RepeaterLinkHost {
public:
    virtual ~RepeaterLinkHost() = default;

    // Any thread.
    virtual MainThread& mainThread() = 0;
    virtual const Clock& clock() const = 0;
    virtual LocalTime localTime() const = 0;
    virtual IniFile readConfig() const = 0;
    virtual std::uint32_t traceId() const = 0;
    // Accounting of started connection threads, so a stop can wait for every one of them.
    virtual void workerStarted() = 0;
    virtual void workerEnded() = 0;

    // Main thread only.
    virtual tHostList* hostList() = 0;  // nullptr while the server is stopped
    // False from the moment a stop begins: connections that have not registered yet end.
    virtual bool acceptingConnections() const = 0;
    virtual const DailyLogs& logs() const = 0;
    virtual OperatorView& view() = 0;
    virtual void RouteEvent(std::string& eventLine, EventSource source) = 0;
    virtual void MarkRefresh() = 0;
    virtual void ShowConnectionCount() = 0;
    virtual std::int64_t TestTime() const = 0;
};

}  // namespace kormlink
