#pragma once

// The record of one repeater connection, common to the TCP connection (TTCPEchoThrd) and the
// serial repeater link. The registry, the main window and the command window treat both kinds
// alike through these fields.
//
// Threads: the connection (its loop, its exchange thread, or the main thread in its hand-overs)
// writes HpId and MCnt (atomics, read by the main thread for display and sorting); Ip and Nr are fixed before the connection is registered; EventLine
// is written and read on the main thread only; PendingCmd is handed over under a mutex.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "core/completion.h"

namespace kormlink {

class ProgramEditor;
class ServerHost;

class RepeaterConnection {
public:
    virtual ~RepeaterConnection() = default;

    std::atomic<std::uint32_t> HpId{0};  // 0 until learned from the first valid event line
    std::atomic<std::int32_t> MCnt{0};   // received lines that went through the response step
    std::atomic<bool> Closed{false};     // set just before the connection leaves the registry
    // Main thread writes: set as soon as the registry holds the connection, cleared when it has
    // left. A thread that ends with it still set keeps the object alive rather than leave the
    // registry a dangling pointer.
    std::atomic<bool> InRegistry{false};
    std::int32_t Nr = 0;                 // the listener's sequence number of this connection
    std::string Ip;                      // the peer's address, dotted IPv4
    std::string EventLine;               // main thread: the last line handed to the outputs

    // The command window's command line for this repeater, with the configuration editor of a
    // programming request or upload (if any); any thread. A newer command replaces an older one.
    // Ignored while commands are refused (find the connection through the registry, which
    // says why).
    void setPendingCmd(std::string cmd, std::shared_ptr<ProgramEditor> editor = nullptr);
    // Sets the command only when none is pending (a command the connection keeps for its next
    // pass must not overwrite one the operator gave meanwhile); any thread. While commands are
    // refused the command is dropped, with a line on stderr.
    void keepPendingCmd(std::string cmd, std::shared_ptr<ProgramEditor> editor);
    // Takes the pending command and its editor and clears both in one step; nothing while
    // commands are refused. Any thread.
    std::pair<std::string, std::shared_ptr<ProgramEditor>> takePendingCmd();
    // Refuses commands (the connection's Id is contested) or takes them again; on refusing,
    // takes what is pending in the same step, so the connection either took it before or never
    // sees it. The registry calls it on the main thread.
    std::pair<std::string, std::shared_ptr<ProgramEditor>> refuseCommands(bool refuse);
    // Clears the pending command if it still carries this editor (a programming request given
    // up before the connection took it); true when it did. Any thread.
    bool withdrawPendingCmd(const ProgramEditor* editor);
    std::string pendingCmd() const;
    bool hasPendingCmd() const;

    // Asks the connection to end; it notices at once, or when its current pass is over. Any
    // thread.
    virtual void requestStop() = 0;

    const std::shared_ptr<Completion>& completion() const { return m_completion; }

protected:
    // The end steps, on the main thread: lastWrites (the last log lines), then Closed, leaving
    // the registry and the connection count, each on its own, so a lost log line or a failing
    // view never keeps the connection in the registry. Called from the connection's thread
    // (on the main thread, it runs them at once).
    void leaveRegistry(ServerHost& host, const std::function<void()>& lastWrites);

private:
    mutable std::mutex m_cmdMutex;
    std::string m_pendingCmd;
    bool m_refused = false;  // the Id is contested: no command goes out
    std::shared_ptr<ProgramEditor> m_editor;  // shared with the request that set it
    std::shared_ptr<Completion> m_completion = std::make_shared<Completion>();
};

}  // namespace kormlink
