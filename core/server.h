#pragma once

// The server model behind the main window: it loads the configuration and starts the threads
// (LoadConfiguration), stops them again in a fixed order (StopServer), and holds the state the
// main window shows: the connection registry, the channel list, the flags that ask for a
// redraw, and the test time of status lines.
//
// Main thread only, except where a method says otherwise. The object must outlive every thread
// it starts; StopServer (also run by the destructor) waits for all of them.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/config.h"
#include "platform/clock.h"
#include "platform/local_time.h"
#include "repeater_link/daily_logs.h"
#include "repeater_link/link_host.h"

namespace kormlink {

class MainThread;
class OperatorView;
class TListThrd;
class tHostList;

struct ServerOptions {
    std::string dataDir = ".";                      // working folder: INI file, logs, queues
    const Clock* clock = &steadyClock();            // supervision times
    LocalTimeSource localTime = localNow;           // time stamps and file names
};

class Server final : public RepeaterLinkHost {
public:
    // Longest wait for one connection thread to end during a stop.
    static constexpr Millis kStopWaitBoundMs = 30'000;

    Server(MainThread& mainThread, OperatorView& view, ServerOptions options = {});
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Reads the configuration file, builds the channel list and starts the listener (and, as
    // they exist, the output server, the serial output and the serial repeater link).
    void LoadConfiguration();
    // Stops the listener, every repeater connection, the output side, and saves the queues.
    // Returns only when every connection thread has ended (each ends within its receive cycle,
    // a send time-out, or its current hand-over). Does nothing when the server is not running.
    void StopServer();
    bool isRunning() const { return m_running; }

    // The main window's state.
    bool ComOn = false;         // the serial output is enabled
    bool HasChannels = false;   // at least one output channel exists
    bool RefreshAll = false;    // redraw both lists at the next tick
    bool QueueChanged = false;  // redraw the queue list at the next tick
    std::int64_t TestTimeMs = kDefaultTestTimeMinutes * 60'000LL;

    // The channels the configuration defines, in list order ("Com" first when enabled).
    const std::vector<std::string>& channelIds() const { return m_channelIds; }
    // The port the input listener is bound to; 0 when not listening. Any thread.
    std::uint16_t inputPort() const;
    std::string iniPath() const;

    // The trace target; 0 traces nobody. Any thread.
    void setTraceId(std::uint32_t id) { m_traceId = id; }

    // Receives every event offered to the output channels. A stand-in until the channel list
    // takes the events; tests use it to see what was passed on.
    using EventTap = std::function<void(const std::string& eventLine, EventSource source)>;
    void setEventTap(EventTap tap) { m_eventTap = std::move(tap); }

    // RepeaterLinkHost.
    MainThread& mainThread() override { return m_mainThread; }
    const Clock& clock() const override { return *m_options.clock; }
    LocalTime localTime() const override { return m_options.localTime(); }
    IniFile readConfig() const override;
    std::uint32_t traceId() const override { return m_traceId.load(); }
    void workerStarted() override { ++m_liveWorkers; }
    void workerEnded() override { --m_liveWorkers; }
    tHostList* hostList() override { return m_hostList.get(); }
    bool acceptingConnections() const override { return m_running; }
    const DailyLogs& logs() const override { return m_logs; }
    OperatorView& view() override { return m_view; }
    void RouteEvent(std::string& eventLine, EventSource source) override;
    void MarkRefresh() override { RefreshAll = true; }
    void ShowConnectionCount() override;
    std::int64_t TestTime() const override { return TestTimeMs; }

private:
    MainThread& m_mainThread;
    OperatorView& m_view;
    ServerOptions m_options;
    DailyLogs m_logs;

    bool m_running = false;
    std::unique_ptr<tHostList> m_hostList;
    std::unique_ptr<TListThrd> m_listener;
    std::vector<std::string> m_channelIds;
    std::atomic<std::uint32_t> m_traceId{0};
    std::atomic<int> m_liveWorkers{0};
    EventTap m_eventTap;
};

}  // namespace kormlink
