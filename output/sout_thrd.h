#pragma once

// TSOutThrd: one monitoring client on the output port.
//
// The client is checked against the address list, greeted with "Kormlink", and names a
// channel within 20 s. Attached, it receives the channel's lines one at a time, each removed
// only when the client answers it with a non-empty line within 5 s; an empty answer gets the
// same line again, no answer ends the connection and leaves the line queued. An answer counts
// for the line it follows only: what the client sent before the line went out is dropped. The
// client also gets "systime<day number>" every Out/SyncP minutes, which it answers with any
// line within 5 s or is disconnected, and "@" after about 10 s without lines.
// A client that names no channel is held for 10 s and closed.
//
// Delivery does not poll: after an acknowledged line the next is fetched at once, and an idle
// connection sleeps on its channel's signal until a line is queued, the keep-alive or time
// sync falls due, or it is stopped.
//
// The object owns itself (its thread holds it); others wait on completion().

#include <atomic>
#include <memory>
#include <string>

#include "core/completion.h"
#include "platform/tcp.h"
#include "platform/tcp_acceptor.h"

namespace kormlink {

class ServerHost;

class TSOutThrd {
public:
    static constexpr Millis kIdentifyTimeoutMs = 20'000;
    static constexpr Millis kAnswerTimeoutMs = 5'000;
    static constexpr Millis kKeepAliveAfterMs = 10'000;
    static constexpr Millis kRetryPauseMs = 10;
    static constexpr int kHoldSteps = 100;  // x 100 ms for a client that names no channel
    // The longest line a client may send: its channel Id is at most 64 bytes and its answers
    // are short lines (an event line is 74 characters), so an idle or flooding client holds at
    // most this much of the server's memory. A longer line ends the connection.
    static constexpr std::size_t kMaxLine = 4096;
    // Lines fetched ahead of the one being delivered; answered lines are removed in groups of
    // up to half of it.
    static constexpr std::size_t kLookAhead = 32;
    // The most answered lines whose removal is not yet written: no line is sent while this many
    // wait, so a kill delivers at most this many lines of a client again.
    static constexpr std::size_t kMaxUnremoved = kLookAhead / 2;

    // Starts the thread; throws std::system_error when it cannot (the socket is then closed).
    // The address slot is kept until the thread ends.
    static void start(ServerHost& host, UniqueFd socket, AddressSlot slot = {});

    // Any thread.
    void requestStop();
    const std::shared_ptr<Completion>& completion() const { return m_completion; }

    // Main thread: the channel Id as the client named it (empty when none or no such channel).
    const std::string& channelId() const { return Id; }

private:
    TSOutThrd(ServerHost& host, UniqueFd socket);

    void run();
    void converse();
    void serveChannel();
    void attach();
    void detach();
    void writeLog(const std::string& record);
    void releaseSlot();
    bool send(const std::string& text);
    // Waits ms milliseconds or until stopped; false when stopped.
    bool pause(Millis ms);
    // Idle: waits until a line is queued, the time is up, the peer hangs up or a stop.
    void waitForLine(Millis ms);

    ServerHost& m_host;
    TcpSocket Sock;
    Waker m_stop;
    std::shared_ptr<Completion> m_completion = std::make_shared<Completion>();
    Waker m_lineQueued;  // set by the attached channel when it queues a line
    bool m_peerGone = false;
    bool m_attached = false;                 // in tOHostList and subscribed to the channel
    bool m_registered = false;               // in the server's list of all clients
    std::atomic<bool> m_holdsSlot{false};    // counted as an unattached client
    std::string m_ip;

    std::string Id;
    Millis SyncPeriod = 0;
    Millis m_nextSync = 0;
    double m_lifetime = 0;
};

}  // namespace kormlink
