#pragma once

// TCP sockets for the listeners and connections.
//
// Sockets are blocking; every wait is a poll() with a time-out that also watches a Waker, so a
// stop request ends any wait at once. Sends never raise SIGPIPE (MSG_NOSIGNAL) and are bounded
// by a send time-out. Received text is buffered per connection with a cap on the unfinished
// line, so a peer that never sends CR LF cannot grow the server without bound.

#include <poll.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "platform/clock.h"
#include "platform/unique_fd.h"

namespace kormlink {

// A level-triggered wake-up signal that ends a wait at once. Thread-safe.
//
// By default it is an eventfd that any poll() can watch. A waker made WithoutDescriptor costs
// no descriptor, for the one thread per repeater connection, of which there may be ten
// thousand: it ends a wait in pollWith() or pauseUnlessWoken() of the thread waiting on it by
// sending that thread a signal of its own (blocked outside those waits, so it interrupts
// nothing else); only one thread at a time may wait on such a waker.
class Waker {
public:
    struct WithoutDescriptor {};
    // Throws std::system_error when no eventfd can be had (for example no descriptors left):
    // a waker that cannot wake would make its owner unstoppable.
    Waker();
    explicit Waker(WithoutDescriptor);
    ~Waker();
    Waker(const Waker&) = delete;
    Waker& operator=(const Waker&) = delete;
    void wake();
    // Whether wake() was called since the last reset(); no system call, so loops may ask
    // it every time round.
    bool isSet() const;
    // Clears the signal. A reset() racing a wake() may leave the descriptor without the count
    // that wake() wrote: whoever resets must look for the work (queued lines) afterwards, not
    // rely on the descriptor for wakes that came before.
    void reset();
    // The eventfd, or -1 for a waker without descriptor.
    int fd() const { return m_fd.get(); }

private:
    friend int pollWith(const Waker* waker, ::pollfd* fds, int count, int timeoutMs);
    UniqueFd m_fd;
    std::atomic<bool> m_set{false};  // for the eventfd: wake() was called since reset()
    struct Signalled;
    std::unique_ptr<Signalled> m_signalled;  // set for a waker without descriptor
};

// poll() of fds (count may be 0) that also ends when the waker (may be null) is set; the
// caller then finds waker->isSet(). Returns what poll() returns, -1 with errno EINTR when the
// waker ended it.
int pollWith(const Waker* waker, ::pollfd* fds, int count, int timeoutMs);

// Waits ms milliseconds; false when the waker was set before or during the wait.
bool pauseUnlessWoken(const Waker& waker, Millis ms);

enum class RecvStatus {
    Line,         // a complete line was received
    Timeout,      // no complete line within the time-out; received text stays buffered
    Closed,       // the peer closed the connection
    Error,        // connection reset or another socket error
    Overflow,     // the peer sent more than the cap without a line end
    Interrupted,  // the waker was set
    // Only on a socket that discards overlong lines: a line longer than the cap ended; the
    // line holds its first cap bytes and lastLineLength() its whole length.
    Overlong,
};

class TcpSocket {
public:
    static constexpr size_t kDefaultMaxLine = 64 * 1024;
    static constexpr Millis kSendTimeoutMs = 10'000;

    explicit TcpSocket(UniqueFd fd, size_t maxLine = kDefaultMaxLine);

    // Connects to host:port (IPv4 dotted address), from the local address `from` when one is
    // given (127.0.0.2 is loopback too: a second repeater address on one machine); for tests
    // and tools.
    static std::optional<TcpSocket> connectTo(const std::string& host, std::uint16_t port,
                                              Millis timeoutMs, const std::string& from = {});

    // From now on a line longer than the cap does not end the connection: its first cap bytes
    // are kept, the rest is read and thrown away up to its CR LF, and recvLine() returns
    // Overlong. Only a line whose end has not come within endWithinMs of passing the cap (a
    // stream without line ends) still ends in Overflow.
    void discardOverlongLines(Millis endWithinMs) { m_overlongEndWithinMs = endWithinMs; }

    // Receives one line ended by the first CR LF pair and returns it without the terminator
    // (a lone CR or LF belongs to the line). The time-out bounds the wait for the whole line;
    // text beyond the line, and a partial line on time-out, stay buffered for the next call.
    RecvStatus recvLine(std::string& line, Millis timeoutMs, const Waker* interrupt = nullptr);
    // recvLine() for an event loop: never waits. Returns what is buffered or can be read now
    // (Line, Overlong, Closed, Error, Overflow), or Timeout once the socket has nothing more to
    // read (EAGAIN), so an edge-triggered loop may wait for the next edge.
    RecvStatus takeLine(std::string& line);
    // The socket may have something to read again (the loop saw it readable): the next
    // takeLine() reads. Until then, a socket that was read empty is not asked again. hungUp:
    // the peer has closed its side (or the socket failed); a short read then no longer means
    // there is nothing more, since the end itself is no byte.
    void noteReadable(bool hungUp = false) {
        m_drained = false;
        m_hungUp = m_hungUp || hungUp;
    }
    // While an overlong line is being thrown away: when its end must have come (takeLine()
    // then returns Overflow); 0 otherwise.
    Millis overlongDeadline() const { return m_discarding ? m_overlongDeadline : 0; }

    // The whole length of the line recvLine() last returned as Overlong, its CR LF not counted.
    size_t lastLineLength() const { return m_overlongLength; }

    // Receives exactly n bytes (after whatever is buffered), within the time-out.
    RecvStatus recvBytes(std::string& out, size_t n, Millis timeoutMs,
                         const Waker* interrupt = nullptr);

    // Sends all of data within kSendTimeoutMs. False when the peer is gone, the time-out
    // expired (the peer has not been reading), or the waker was set.
    bool sendAll(std::string_view data, const Waker* interrupt = nullptr);

    // Sends what the socket takes now, without waiting: the number of bytes sent (possibly
    // fewer than data.size(), or 0 when its buffer is full), or -1 when the peer is gone.
    // Safe from another thread while this one receives; it touches no buffer of the object.
    long trySend(std::string_view data) const;

    // Drops what was received but not yet returned (the kernel's buffer is left alone): text a
    // peer sent unasked must not be read as the answer to what is sent next.
    void discardBuffered() {
        m_buffer.clear();
        m_head = 0;
        m_scanFrom = 0;
        m_discarding = false;
        m_overlongHead.clear();
    }

    // True when a whole line is buffered already: the next recvLine() returns it at once.
    bool hasBufferedLine() const { return buffered().find("\r\n") != std::string_view::npos; }

    // Bytes received but not yet returned, plus bytes waiting in the kernel.
    size_t bytesWaiting() const;
    std::string peerAddress() const;
    void shutdownBoth();
    int fd() const { return m_fd.get(); }

private:
    enum class Fill { Data, Timeout, Closed, Error, Interrupted };
    Fill fillBuffer(Millis deadline, const Waker* interrupt);

    // Starts throwing an overlong line away: its head is kept, the deadline set.
    void startDiscarding();
    // Throws away buffered bytes of the overlong line; true when its CR LF was among them.
    bool discardToLineEnd();

    // The received bytes not yet returned: m_buffer from m_head on.
    std::string_view buffered() const {
        return std::string_view(m_buffer).substr(m_head);
    }
    // Takes n bytes off the front of what is buffered. Lines are taken by moving m_head, not by
    // erasing each one: a read full of short lines would otherwise move the rest of the buffer
    // once per line.
    void consume(size_t n);

    // A buffer larger than this is given back when it empties.
    static constexpr size_t kIdleBufferBytes = 256;

    UniqueFd m_fd;
    size_t m_maxLine;
    bool m_noWait = false;  // takeLine(): reads only what is there
    bool m_drained = false; // the last read took everything there was
    bool m_hungUp = false;  // the peer closed: every take reads
    std::string m_buffer;
    size_t m_head = 0;      // bytes of m_buffer before it were returned already
    size_t m_scanFrom = 0;  // CR LF search resumes here (from m_head); bytes before it hold no pair
    Millis m_overlongEndWithinMs = 0;  // 0: an overlong line ends in Overflow
    bool m_discarding = false;         // the buffer holds the tail of an overlong line
    std::string m_overlongHead;        // its first m_maxLine bytes
    size_t m_overlongLength = 0;       // its bytes so far
    Millis m_overlongDeadline = 0;     // its end must have come by then
};

class TcpListener {
public:
    // Send and receive buffer of every accepted socket (the kernel doubles it for its books).
    static constexpr int kAcceptedBufferBytes = 64 * 1024;

    // Binds 0.0.0.0:port (0 picks a free port) and listens. nullopt and error set on failure.
    static std::optional<TcpListener> open(std::uint16_t port, std::string* error);

    // Waits up to timeoutMs for a pending connection and accepts it. Empty when none arrived,
    // the accept failed, or the waker was set. peerAddress, when given, gets the peer's IPv4
    // address (host order; nullopt for another family) from the accept itself.
    UniqueFd acceptFor(Millis timeoutMs, const Waker* interrupt = nullptr,
                       std::optional<std::uint32_t>* peerAddress = nullptr);

    std::uint16_t port() const { return m_port; }

private:
    TcpListener(UniqueFd fd, std::uint16_t port) : m_fd(std::move(fd)), m_port(port) {}
    UniqueFd m_fd;
    std::uint16_t m_port = 0;
};

}  // namespace kormlink
