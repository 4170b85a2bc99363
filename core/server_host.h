#pragma once

// What the server's worker threads (repeater connections, output clients, serial output) need
// from the server that owns them. The server model implements it; it outlives every thread it
// starts (StopServer waits for all of them).

#include <atomic>
#include <cstdint>
#include <string>

#include "platform/clock.h"
#include "platform/ini.h"
#include "platform/local_time.h"

namespace kormlink {

class DailyLogs;
class EventLoop;
class WorkerPool;
class MainThread;
class OperatorView;
class TSOutThrd;
class tHostList;
class tOHostList;
class tOList;

// Where an event came from: the output side checks duplicates only for TCP repeaters.
enum class EventSource { Tcp, Serial };

// What the answer to routed event lines must wait for: the journal writes from..ticket of the
// journals in the mask (their bits), and whether every one of them took its records (kept
// false: the answer must not leave).
struct JournalReceipt {
    std::uint64_t ticket = 0;
    bool kept = true;
    std::uint64_t from = 0;
    std::uint64_t journals = 0;
};

// The kinds of worker threads, counted separately because they are stopped in separate steps.
enum class WorkerKind { Repeater, OutputClient };

// Counters the workers bump as they go, for the metrics. Any thread.
struct ServerCounters {
    std::atomic<std::uint64_t> eventsAnswered{0};        // event lines acknowledged
    std::atomic<std::uint64_t> timeSyncsToRepeaters{0};  // time commands sent
    std::atomic<std::uint64_t> timeSyncsToClients{0};    // "systime" lines sent
    // Lines from repeaters refused: longer than kMaxRepeaterLine, or holding a control byte.
    std::atomic<std::uint64_t> overlongLines{0};
    std::atomic<std::uint64_t> controlByteLines{0};
    // Lines about a repeater connection that its log budget kept out of the logs.
    std::atomic<std::uint64_t> linesNotLogged{0};
    // Repeater connections closed for sending no valid event line with an Id in IdentifyTime.
    std::atomic<std::uint64_t> unidentifiedClosed{0};
    // Older connections closed because their repeater connected again from the same address.
    std::atomic<std::uint64_t> repeaterConnectionsReplaced{0};
    std::atomic<std::uint64_t> clientIdsRefused{0};      // unusable Ids named by clients
    std::atomic<std::uint64_t> clientsNotAllowed{0};     // client addresses not in [CList]
};

class ServerHost {
public:
    virtual ~ServerHost() = default;

    // Any thread.
    virtual MainThread& mainThread() = 0;
    virtual const Clock& clock() const = 0;
    virtual LocalTime localTime() const = 0;
    virtual IniFile readConfig() const = 0;
    virtual std::uint32_t traceId() const = 0;
    // Output clients that have not attached to a channel yet (identifying, or held after naming
    // none) are capped, so a flood of idle connections cannot use up the descriptors. False
    // when the cap is reached; a true answer must be matched by releaseUnattachedSlot().
    virtual bool takeUnattachedSlot() = 0;
    virtual void releaseUnattachedSlot() = 0;
    // Accounting of started worker threads, so a stop can wait for every one of them.
    virtual void workerStarted(WorkerKind kind) = 0;
    virtual void workerEnded(WorkerKind kind) = 0;
    // True once the journal writes of the receipt are as durable as configured (at once
    // unless the fsync mode is on); false when they are not kept. Bounded wait.
    virtual bool awaitJournal(const JournalReceipt& receipt) = 0;
    // False while a channel journal cannot be written: answers are then decided only after
    // the line was routed.
    virtual bool journalsHealthy() const = 0;
    virtual ServerCounters& counters() = 0;
    // The event loop a new connection is served by (the least busy one); any thread.
    virtual EventLoop& connectionLoop() = 0;
    // Threads for the passes of a connection that wait (command exchanges); any thread.
    virtual WorkerPool& exchangeWorkers() = 0;

    // Main thread only.
    virtual bool acceptingConnections() const = 0;  // false from the moment a stop begins
    virtual const DailyLogs& logs() const = 0;
    virtual OperatorView& view() = 0;

    // Repeater side (main thread).
    virtual tHostList* hostList() = 0;  // nullptr while the server is stopped
    virtual void RouteEvent(std::string& eventLine, EventSource source) = 0;
    // What an answer to the lines routed so far waits for.
    virtual JournalReceipt journalReceipt() const = 0;
    virtual void MarkRefresh() = 0;
    virtual void ShowConnectionCount() = 0;
    virtual std::int64_t TestTime() const = 0;

    // Output side (main thread).
    virtual tOList* channels() = 0;         // nullptr while the server is stopped
    virtual tOHostList* clientList() = 0;   // attached clients; nullptr without channels
    // Every output client thread, attached or not, so a stop reaches them all.
    virtual void registerClient(TSOutThrd* client) = 0;
    virtual void unregisterClient(TSOutThrd* client) = 0;
    virtual void MarkQueueChanged() = 0;   // redraw the queue list at the next tick
    virtual void ShowChannels() = 0;       // redraw the channel view now
};


}  // namespace kormlink
