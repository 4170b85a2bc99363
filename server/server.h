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
#include <mutex>
#include <string>
#include <vector>

#include "core/config.h"
#include "core/daily_logs.h"
#include "core/server_host.h"
#include "output/queue_journal.h"
#include "platform/clock.h"
#include "platform/event_loop.h"
#include "platform/worker_pool.h"
#include "platform/local_time.h"
#include "server/status_service.h"
#include "server/status_snapshot.h"

namespace kormlink {

class MainThread;
class OperatorView;
class TListThrd;
class TOListThrd;
class TOutThrd;

struct ServerOptions {
    std::string dataDir = ".";                      // working folder: INI file, logs, queues
    const Clock* clock = &steadyClock();            // supervision times
    LocalTimeSource localTime = localNow;           // time stamps and file names
};

class Server : public ServerHost {
public:
    // Longest wait for one worker thread to end during a stop before it is reported.
    static constexpr Millis kStopWaitBoundMs = 30'000;

    Server(MainThread& mainThread, OperatorView& view, ServerOptions options = {});
    ~Server() override;
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Reads the configuration file, builds the channel list (taking over the queue files) and
    // starts the input listener, the output listener (when a channel exists) and the serial
    // output (when enabled).
    void LoadConfiguration();
    // Stops the input listener and every repeater connection, then the output listener and
    // every output client, then the serial output, and saves every queue to its file.
    // Returns only when every worker thread has ended (each ends within its receive cycle, a
    // send time-out, or its current hand-over). Does nothing when the server is not running.
    void StopServer();
    bool isRunning() const { return m_running; }

    // The main window's state.
    bool ComOn = false;         // the serial output is enabled
    bool HasChannels = false;   // at least one output channel exists
    bool RefreshAll = false;    // redraw both lists at the next tick
    bool QueueChanged = false;  // redraw the queue list at the next tick
    std::int64_t TestTimeMs = kDefaultTestTimeMinutes * 60'000LL;

    // The ports the listeners are bound to; 0 when not listening. Any thread.
    std::uint16_t inputPort() const;
    std::uint16_t outputPort() const;
    // Connections the listeners closed at once because the most at once were being served.
    std::uint64_t refusedConnections() const;
    std::uint64_t refusedClients() const;
    // Repeater connections closed at once because their address is not in [RList].
    std::uint64_t refusedByAddress() const;
    // Connections closed at once because their address held [In] or [Out] MaxPerAddress.
    std::uint64_t refusedPerAddress() const;
    std::uint64_t refusedClientsPerAddress() const;
    // Worker threads (repeater connections, output clients) started and not yet ended. Any
    // thread.
    int runningWorkers() const { return m_repeaterWorkers.load() + m_clientWorkers.load(); }
    // Every output client thread registered and not yet unregistered, attached or not. Main
    // thread.
    const std::vector<TSOutThrd*>& outputClients() const { return m_allClients; }
    std::string iniPath() const;

    // The trace target; 0 traces nobody. Any thread.
    void setTraceId(std::uint32_t id) { m_traceId = id; }

    // Sees every event offered to the output channels, after the channels took it; tests and
    // tools use it.
    using EventTap = std::function<void(const std::string& eventLine, EventSource source)>;
    void setEventTap(EventTap tap) { m_eventTap = std::move(tap); }

    // ServerHost.
    MainThread& mainThread() override { return m_mainThread; }
    const Clock& clock() const override { return *m_options.clock; }
    LocalTime localTime() const override { return m_options.localTime(); }
    IniFile readConfig() const override;
    std::uint32_t traceId() const override { return m_traceId.load(); }
    static constexpr int kMaxUnattachedClients = 256;
    // Command exchanges running at once (more wait their turn), and how long a thread with
    // no exchange stays.
    static constexpr std::size_t kMaxExchangeThreads = 256;
    static constexpr Millis kExchangeThreadIdleMs = 10'000;
    bool takeUnattachedSlot() override;
    void releaseUnattachedSlot() override { --m_unattachedClients; }
    void workerStarted(WorkerKind kind) override { ++workers(kind); }
    void workerEnded(WorkerKind kind) override { --workers(kind); }
    // Longest wait of an answer for the sync of its journal records.
    static constexpr Millis kJournalWaitBoundMs = 10'000;
    bool awaitJournal(const JournalReceipt& receipt) override;
    bool journalsHealthy() const override { return m_journalsHealthy.load(); }
    ServerCounters& counters() override { return m_counters; }
    EventLoop& connectionLoop() override { return m_loops->pick(); }
    WorkerPool& exchangeWorkers() override { return *m_exchanges; }
    // The threads of the event loops, and the exchange workers alive now. Any thread.
    std::size_t loopCount() const { return m_loops->size(); }
    bool acceptingConnections() const override { return m_running; }
    const DailyLogs& logs() const override { return m_logs; }
    OperatorView& view() override { return m_view; }
    tHostList* hostList() override { return m_hostList.get(); }
    void RouteEvent(std::string& eventLine, EventSource source) override;
    JournalReceipt journalReceipt() const override;
    // Journal writes and syncs so far. Any thread.
    const JournalSync& journalSync() const { return m_journalSync; }
    void MarkRefresh() override { RefreshAll = true; }
    void ShowConnectionCount() override;
    std::int64_t TestTime() const override { return TestTimeMs; }
    tOList* channels() override { return m_channels.get(); }
    tOHostList* clientList() override { return m_clientList.get(); }
    void registerClient(TSOutThrd* client) override;
    void unregisterClient(TSOutThrd* client) override;
    void MarkQueueChanged() override { QueueChanged = true; }
    void ShowChannels() override;

    // One line for the service manager: "3 repeaters, 1 client, 120 queued lines". Main
    // thread.
    std::string statusSummary() const;
    // Everything the status page and the metrics show. Main thread.
    StatusSnapshot snapshot() const;
    // The port the status page is served on, 0 when it is off. Main thread.
    std::uint16_t statusPort() const { return m_statusService ? m_statusService->port() : 0; }

private:
    std::atomic<int>& workers(WorkerKind kind) {
        return kind == WorkerKind::Repeater ? m_repeaterWorkers : m_clientWorkers;
    }
    void startThreads(const ServerSettings& settings, const IniFile& ini);
    void noteJournalHealth();
    // Serves hand-overs until no worker of that kind is left, reporting every kStopWaitBoundMs.
    void waitForWorkers(WorkerKind kind, const char* what);

    MainThread& m_mainThread;
    ServerCounters m_counters;
    std::uint64_t m_eventsReceived = 0;  // main thread
    std::unique_ptr<StatusService> m_statusService;
    OperatorView& m_view;
    ServerOptions m_options;
    DailyLogs m_logs;

    bool m_running = false;
    JournalSync m_journalSync;  // outlives the channel list whose journals count on it
    std::atomic<bool> m_journalsHealthy{true};
    std::unique_ptr<tHostList> m_hostList;
    std::unique_ptr<TListThrd> m_listener;
    std::unique_ptr<tOList> m_channels;
    std::unique_ptr<tOHostList> m_clientList;
    std::unique_ptr<TOListThrd> m_outListener;
    std::unique_ptr<TOutThrd> m_serialOutput;
    std::vector<TSOutThrd*> m_allClients;  // every output client thread, attached or not
    std::atomic<std::uint32_t> m_traceId{0};
    std::atomic<int> m_repeaterWorkers{0};
    std::atomic<int> m_clientWorkers{0};
    std::atomic<int> m_unattachedClients{0};
    std::atomic<bool> m_reportedClientFlood{false};
    EventTap m_eventTap;
    // The configuration file as last read, and what identified it then.
    struct ConfigKey {
        std::uint64_t ino = 0;
        std::int64_t size = 0, mtimeS = 0, mtimeNs = 0, ctimeS = 0, ctimeNs = 0;
        bool operator==(const ConfigKey&) const = default;
    };
    mutable std::mutex m_configMutex;
    mutable std::shared_ptr<const IniFile> m_config;
    mutable ConfigKey m_configKey;
    // Last, so they go first: by then every connection has ended. The workers go before the
    // loops, since a worker's last act may be to hand a connection back to its loop.
    std::unique_ptr<EventLoops> m_loops;
    std::unique_ptr<WorkerPool> m_exchanges;
};

}  // namespace kormlink
