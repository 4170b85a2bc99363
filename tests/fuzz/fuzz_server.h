#pragma once

// A running server for the fuzz targets that drive worker threads (repeater connections, the
// serial repeater link, output clients). One per process: its data folder is made once under
// the system's temporary folder, and the fuzzing thread is its main thread.
//
// Workers are started with this object as their host, so a target can serve the main thread
// until the workers of one input have ended before the next input runs: no thread or
// descriptor outlives its input.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "server/server.h"

namespace kormlink::fuzz {

// Steady time plus an offset that jumps 10 s every 32 readings, so periods of minutes (time
// synchronisation, keep-alives) fall due within a run without anyone sleeping.
class JumpingClock final : public Clock {
public:
    Millis now() const override {
        return steadyClock().now() + static_cast<Millis>(m_reads++ / 32) * 10'000;
    }

private:
    mutable std::atomic<std::uint64_t> m_reads{0};
};

// Keeps the command-window lines of the current input; main thread only.
class LinesView final : public NullOperatorView {
public:
    void ShowInCommandWindow(const std::string& text) override { lines.push_back(text); }
    std::vector<std::string> lines;
};

// Made before the Server that refers to them.
struct FuzzServerParts {
    JumpingClock m_clock;
    LinesView m_lines;
    MainThread m_main;
};

class FuzzServer final : private FuzzServerParts, public Server {
public:
    // Writes ini into the data folder and loads it. The INI may be replaced later (setIni);
    // workers read it when they start.
    explicit FuzzServer(const std::string& ini);

    void setIni(const std::string& ini);
    LinesView& lines() { return m_lines; }

    // Serves the main thread until pred holds; pred is also where a target moves its bytes.
    // A run that does not end within the bound is a hang: it traps.
    void serveUntil(const std::function<bool()>& pred, Millis boundMs = 8000);
    // Empties every channel queue (through the journals), so the next input starts alike.
    void emptyQueues();
    // Traps when a queued line would not pass its channel's filters, or a queue is over size.
    void checkQueues();
    int clientListCalls() const { return m_clientListCalls; }

    void workerEnded(WorkerKind kind) override {
        Server::workerEnded(kind);
        m_main.wake();  // the main thread may be waiting for exactly this
    }
    tOHostList* clientList() override {
        ++m_clientListCalls;
        return Server::clientList();
    }

private:
    int m_clientListCalls = 0;
};

// Makes the non-blocking send of bytes[sent..] and reads whatever the peer wrote to fd; false
// once the peer is gone for writing. For socket pairs and pseudo-terminal masters alike.
bool pump(int fd, const std::uint8_t* bytes, std::size_t size, std::size_t& sent);

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
