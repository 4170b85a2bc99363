#pragma once

// SIGINT and SIGTERM as ordinary events: they are blocked in every thread (call
// blockStopSignals() before starting any thread) and one watcher thread waits for them.

#include <atomic>
#include <functional>
#include <thread>

namespace kormlink {

// Blocks SIGINT and SIGTERM in the calling thread and every thread it starts afterwards, and
// ignores SIGPIPE so a vanished peer never ends the process.
void blockStopSignals();

class StopSignalWatcher {
public:
    // onSignal runs on the watcher thread for each SIGINT or SIGTERM.
    explicit StopSignalWatcher(std::function<void()> onSignal);
    ~StopSignalWatcher();
    StopSignalWatcher(const StopSignalWatcher&) = delete;
    StopSignalWatcher& operator=(const StopSignalWatcher&) = delete;

private:
    void run();
    std::function<void()> m_onSignal;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace kormlink
