#pragma once

// A running server for the fuzz targets that drive worker threads (repeater connections, the
// serial repeater link, output clients). One per process: its data folder is made once under
// the system's temporary folder, and the fuzzing thread is its main thread.
//
// Workers are started with this object as their host. It passes everything on to the real
// Server and counts the workers it started, so a target can serve the main thread until the
// workers of one input have ended before the next input runs: no thread or descriptor outlives
// its input.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "server/server.h"

namespace kormlink::fuzz {

// The local time every target sees: a fixed date keeps the runs repeatable.
LocalTime fixedLocalTime();

// Steady time plus an offset that jumps 10 s every 32 readings, so periods of minutes (time
// synchronisation, keep-alives) fall due within a run without anyone sleeping.
class JumpingClock final : public Clock {
public:
    Millis now() const override;

private:
    mutable std::atomic<std::uint64_t> m_reads{0};
};

// Keeps the command-window lines of the current input; main thread only.
class LinesView final : public NullOperatorView {
public:
    void ShowInCommandWindow(const std::string& text) override { lines.push_back(text); }
    std::vector<std::string> lines;
};

class FuzzServer final : public ServerHost {
public:
    // Writes ini into the data folder and loads it. The INI may be replaced later (setIni);
    // workers read it when they start.
    explicit FuzzServer(const std::string& ini);

    void setIni(const std::string& ini);
    const std::string& dir() const { return m_dir; }
    Server& server() { return *m_server; }
    LinesView& lines() { return m_view; }

    // Serves the main thread until pred holds; pred is also where a target moves its bytes.
    // A run that does not end within the bound is a hang: it traps.
    void serveUntil(const std::function<bool()>& pred, Millis boundMs = 8000);
    int runningWorkers() const { return m_running.load(); }
    // Empties every channel queue (through the journals), so the next input starts alike.
    void emptyQueues();
    // Traps when a queued line would not pass its channel's filters, or a queue is over size.
    void checkQueues();
    // Output clients registered and not yet unregistered; main thread.
    const std::vector<TSOutThrd*>& clients() const { return m_clients; }
    int clientListCalls() const { return m_clientListCalls; }

    // ServerHost: everything goes to the Server, with the workers counted here as well.
    MainThread& mainThread() override { return *m_main; }
    const Clock& clock() const override { return m_server->clock(); }
    LocalTime localTime() const override { return m_server->localTime(); }
    IniFile readConfig() const override { return m_server->readConfig(); }
    std::uint32_t traceId() const override { return m_server->traceId(); }
    bool takeUnattachedSlot() override { return m_server->takeUnattachedSlot(); }
    void releaseUnattachedSlot() override { m_server->releaseUnattachedSlot(); }
    void workerStarted(WorkerKind kind) override;
    void workerEnded(WorkerKind kind) override;
    bool awaitJournal(const JournalReceipt& r) override { return m_server->awaitJournal(r); }
    bool journalsHealthy() const override { return m_server->journalsHealthy(); }
    ServerCounters& counters() override { return m_server->counters(); }
    bool acceptingConnections() const override { return m_server->acceptingConnections(); }
    const DailyLogs& logs() const override { return m_server->logs(); }
    OperatorView& view() override { return m_view; }
    tHostList* hostList() override { return m_server->hostList(); }
    void RouteEvent(std::string& line, EventSource source) override {
        m_server->RouteEvent(line, source);
    }
    JournalReceipt journalReceipt() const override { return m_server->journalReceipt(); }
    void MarkRefresh() override { m_server->MarkRefresh(); }
    void ShowConnectionCount() override { m_server->ShowConnectionCount(); }
    std::int64_t TestTime() const override { return m_server->TestTime(); }
    tOList* channels() override { return m_server->channels(); }
    tOHostList* clientList() override;
    void registerClient(TSOutThrd* client) override;
    void unregisterClient(TSOutThrd* client) override;
    void MarkQueueChanged() override { m_server->MarkQueueChanged(); }
    void ShowChannels() override { m_server->ShowChannels(); }

private:
    std::string m_dir;
    JumpingClock m_clock;
    LinesView m_view;
    std::unique_ptr<MainThread> m_main;
    std::unique_ptr<Server> m_server;
    std::atomic<int> m_running{0};
    std::vector<TSOutThrd*> m_clients;
    int m_clientListCalls = 0;
};

// Makes the non-blocking send of bytes[sent..] and reads whatever the peer wrote to fd; false
// once the peer is gone for writing. For socket pairs and pseudo-terminal masters alike.
bool pump(int fd, const std::uint8_t* bytes, std::size_t size, std::size_t& sent);

}  // namespace kormlink::fuzz

namespace kormlink::fuzz {

// Channel sections for the targets that route: one channel without filters, filtered ones
// (transmitter range, system number, slot mask, repeater events), two sharing an Id, and a
// short queue.
inline constexpr const char* kChannelSections =
    "[ClientAll]\nId=all\n"
    "[ClientSys1]\nId=sys1\nQSize=20\nFlt0=0;4095;$01;$FF;1\n"
    "[ClientRange]\nId=range\nFlt0=256;511;$02;$0F;0\nFlt1=$100;$1FF;0;$F0;1\nFlt2=16;31;$31;$01;0\n"
    "[ClientShared]\nId=sys1\nFlt0=0;$FFF;$05;$80;1\n"
    "[ClientShort]\nId=short\nQSize=3\nFlt0=0;65535;$00;$FF;1\nFlt1=0;65535;$01;$FF;0\n";

}  // namespace kormlink::fuzz
