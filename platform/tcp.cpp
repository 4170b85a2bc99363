#include "platform/tcp.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>
#include <system_error>

namespace kormlink {
namespace {

// Waits until fd is ready for `events`, the waker is set, or the deadline passes.
// Returns 1 ready, 0 time-out, -1 interrupted by the waker, -2 poll error.
int waitFor(int fd, short events, Millis deadline, const Waker* interrupt) {
    for (;;) {
        Millis left = deadline - steadyClock().now();
        if (left < 0) left = 0;
        pollfd p{fd, events, 0};
        int n = pollWith(interrupt, &p, 1, static_cast<int>(std::min<Millis>(left, INT_MAX)));
        if (n < 0) {
            if (errno != EINTR) return -2;
            if (interrupt && interrupt->isSet()) return -1;
            continue;
        }
        if (n > 0 && p.revents) return 1;
        if (steadyClock().now() >= deadline) return 0;
    }
}

// The signal that ends a wait on a waker without descriptor; its handler does nothing, the
// interrupted ppoll() is all it is for.
int wakeSignal() {
    static const int sig = [] {
        const int s = SIGRTMIN + 2;
        struct sigaction action {};
        action.sa_handler = [](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the wait must end
        ::sigaction(s, &action, nullptr);
        return s;
    }();
    return sig;
}

// The calling thread's signal mask with the wake signal blocked (done once per thread), and
// the same mask without it, for ppoll().
const sigset_t& waitMask() {
    thread_local const sigset_t mask = [] {
        sigset_t block;
        sigemptyset(&block);
        sigaddset(&block, wakeSignal());
        sigset_t current;
        ::pthread_sigmask(SIG_BLOCK, &block, &current);
        sigdelset(&current, wakeSignal());
        return current;
    }();
    return mask;
}

int waitReadable(int fd, Millis deadline, const Waker* interrupt) {
    return waitFor(fd, POLLIN, deadline, interrupt);
}

}  // namespace

struct Waker::Signalled {
    std::atomic<bool> set{false};
    std::mutex mutex;  // held while the waiter is signalled, so it cannot be gone meanwhile
    pthread_t waiter{};
    bool waiting = false;
};

Waker::Waker() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_fd) throw std::system_error(errno, std::generic_category(), "eventfd");
}

Waker::Waker(WithoutDescriptor) : m_signalled(std::make_unique<Signalled>()) { wakeSignal(); }

Waker::~Waker() = default;

void Waker::wake() {
    if (m_signalled) {
        m_signalled->set.store(true);
        std::lock_guard lock(m_signalled->mutex);
        if (m_signalled->waiting) ::pthread_kill(m_signalled->waiter, wakeSignal());
        return;
    }
    m_set.store(true);
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_fd.get(), &one, sizeof one);
}

void Waker::reset() {
    if (m_signalled) {
        m_signalled->set.store(false);
        return;
    }
    m_set.store(false);
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(m_fd.get(), &value, sizeof value);
}

bool Waker::isSet() const {
    if (m_signalled) return m_signalled->set.load();
    return m_set.load();
}

int pollWith(const Waker* waker, pollfd* fds, int count, int timeoutMs) {
    if (!waker) return ::poll(fds, static_cast<nfds_t>(count), timeoutMs);
    if (!waker->m_signalled) {
        pollfd all[8];
        if (count > 7) {
            errno = EINVAL;
            return -1;
        }
        for (int i = 0; i < count; ++i) all[i] = fds[i];
        all[count] = {waker->fd(), POLLIN, 0};
        const int n = ::poll(all, static_cast<nfds_t>(count + 1), timeoutMs);
        for (int i = 0; i < count; ++i) fds[i].revents = all[i].revents;
        if (n > 0 && all[count].revents) {
            errno = EINTR;
            return -1;
        }
        return n;
    }
    Waker::Signalled& s = *waker->m_signalled;
    const sigset_t& mask = waitMask();
    {
        std::lock_guard lock(s.mutex);
        s.waiter = ::pthread_self();
        s.waiting = true;
    }
    int n = -1;
    if (s.set.load()) {
        errno = EINTR;
    } else {
        // A wake after the check leaves the signal pending: ppoll() then ends at once.
        timespec limit{timeoutMs / 1000, static_cast<long>(timeoutMs % 1000) * 1'000'000L};
        n = ::ppoll(fds, static_cast<nfds_t>(count), timeoutMs < 0 ? nullptr : &limit, &mask);
    }
    const int err = errno;
    {
        std::lock_guard lock(s.mutex);
        s.waiting = false;
    }
    errno = err;
    return n;
}

bool pauseUnlessWoken(const Waker& waker, Millis ms) {
    const Millis deadline = steadyClock().now() + std::max<Millis>(ms, 0);
    for (;;) {
        if (waker.isSet()) return false;
        const Millis left = std::max<Millis>(deadline - steadyClock().now(), 0);
        const int n = pollWith(&waker, nullptr, 0, static_cast<int>(std::min<Millis>(left, INT_MAX)));
        if (waker.isSet()) return false;
        if (n == 0) return true;
        if (n < 0 && errno != EINTR) return false;  // the waker is broken: treat it as a stop
    }
}

TcpSocket::TcpSocket(UniqueFd fd, size_t maxLine) : m_fd(std::move(fd)), m_maxLine(maxLine) {}

std::optional<TcpSocket> TcpSocket::connectTo(const std::string& host, std::uint16_t port,
                                              Millis timeoutMs, const std::string& from) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::nullopt;
    if (!from.empty()) {
        sockaddr_in local{};
        local.sin_family = AF_INET;
        if (::inet_pton(AF_INET, from.c_str(), &local.sin_addr) != 1 ||
            ::bind(fd.get(), reinterpret_cast<sockaddr*>(&local), sizeof local) != 0)
            return std::nullopt;
    }
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    if (::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) != 1) return std::nullopt;
    timeval tv{};
    tv.tv_sec = timeoutMs / 1000;
    tv.tv_usec = static_cast<suseconds_t>((timeoutMs % 1000) * 1000);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    if (::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0)
        return std::nullopt;
    return TcpSocket(std::move(fd));
}

TcpSocket::Fill TcpSocket::fillBuffer(Millis deadline, const Waker* interrupt) {
    if (!m_noWait) {
        int ready = waitReadable(m_fd.get(), deadline, interrupt);
        if (ready == 0) return Fill::Timeout;
        if (ready == -1) return Fill::Interrupted;
        if (ready < 0) return Fill::Error;
    } else if (m_drained && !m_hungUp) {
        return Fill::Timeout;  // nothing came since the socket was read empty
    }
    char chunk[16 * 1024];
    for (;;) {
        ssize_t n = ::recv(m_fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            if (m_head > 0) {  // what was returned goes before the buffer grows
                m_buffer.erase(0, m_head);
                m_head = 0;
            }
            // Fewer bytes than asked for: the socket is read empty for now.
            m_drained = static_cast<size_t>(n) < sizeof chunk;
            m_buffer.append(chunk, static_cast<size_t>(n));
            return Fill::Data;
        }
        if (n == 0) return Fill::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) {
            m_drained = true;
            return Fill::Timeout;
        }
        return Fill::Error;
    }
}

void TcpSocket::consume(size_t n) {
    m_head += n;
    if (m_head >= m_buffer.size()) {
        m_buffer.clear();
        m_head = 0;
    }
    m_scanFrom = 0;
}

void TcpSocket::startDiscarding() {
    m_discarding = true;
    m_overlongHead.assign(buffered().substr(0, m_maxLine));
    m_overlongLength = 0;
    m_overlongDeadline = steadyClock().now() + m_overlongEndWithinMs;
}

bool TcpSocket::discardToLineEnd() {
    const std::string_view data = buffered();
    const size_t end = data.find("\r\n");
    if (end != std::string_view::npos) {
        m_overlongLength += end;
        consume(end + 2);
        m_discarding = false;
        return true;
    }
    // A CR at the very end stays: its LF may come with the next bytes.
    const size_t drop = data.size() - (data.ends_with('\r') ? 1 : 0);
    m_overlongLength += drop;
    consume(drop);
    return false;
}

RecvStatus TcpSocket::takeLine(std::string& line) {
    m_noWait = true;
    const RecvStatus status = recvLine(line, 0, nullptr);
    m_noWait = false;
    if (buffered().empty() && m_buffer.capacity() > kIdleBufferBytes) {
        // An idle connection keeps no large buffer: ten thousand of them must stay small.
        std::string().swap(m_buffer);
    }
    return status;
}

RecvStatus TcpSocket::recvLine(std::string& line, Millis timeoutMs, const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    const bool discards = m_overlongEndWithinMs > 0;
    for (;;) {
        if (m_discarding) {
            if (discardToLineEnd()) {
                line = std::move(m_overlongHead);
                m_overlongHead.clear();
                return RecvStatus::Overlong;
            }
            if (steadyClock().now() >= m_overlongDeadline) return RecvStatus::Overflow;
        } else {
            const std::string_view data = buffered();
            const size_t from = m_scanFrom > 0 ? m_scanFrom - 1 : 0;
            const size_t end = data.find("\r\n", from);
            if (end != std::string_view::npos && end <= m_maxLine) {
                line.assign(data.substr(0, end));
                consume(end + 2);
                return RecvStatus::Line;
            }
            m_scanFrom = data.size();
            // Past the cap: a CR LF further on, or more bytes than a line and its CR may have.
            if (end != std::string_view::npos || data.size() > m_maxLine + (discards ? 1 : 0)) {
                if (!discards) return RecvStatus::Overflow;
                startDiscarding();
                continue;
            }
        }
        const Millis waitUntil = m_discarding ? std::min(deadline, m_overlongDeadline) : deadline;
        switch (fillBuffer(waitUntil, interrupt)) {
            case Fill::Data: break;
            case Fill::Timeout:
                if (m_discarding && steadyClock().now() >= m_overlongDeadline)
                    return RecvStatus::Overflow;
                return RecvStatus::Timeout;
            case Fill::Closed: return RecvStatus::Closed;
            case Fill::Error: return RecvStatus::Error;
            case Fill::Interrupted: return RecvStatus::Interrupted;
        }
    }
}

RecvStatus TcpSocket::recvBytes(std::string& out, size_t n, Millis timeoutMs,
                                const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (buffered().size() < n) {
        switch (fillBuffer(deadline, interrupt)) {
            case Fill::Data: break;
            case Fill::Timeout: return RecvStatus::Timeout;
            case Fill::Closed: return RecvStatus::Closed;
            case Fill::Error: return RecvStatus::Error;
            case Fill::Interrupted: return RecvStatus::Interrupted;
        }
    }
    out.assign(buffered().substr(0, n));
    consume(n);
    return RecvStatus::Line;
}

bool TcpSocket::sendAll(std::string_view data, const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + kSendTimeoutMs;
    while (!data.empty()) {
        ssize_t n = ::send(m_fd.get(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) {
            data.remove_prefix(static_cast<size_t>(n));
            continue;
        }
        if (errno == EINTR) continue;
        if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
        if (waitFor(m_fd.get(), POLLOUT, deadline, interrupt) != 1) return false;
    }
    return true;
}

long TcpSocket::trySend(std::string_view data) const {
    for (;;) {
        ssize_t n = ::send(m_fd.get(), data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n >= 0) return static_cast<long>(n);
        if (errno == EINTR) continue;
        return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
    }
}

size_t TcpSocket::bytesWaiting() const {
    int pending = 0;
    if (::ioctl(m_fd.get(), FIONREAD, &pending) != 0 || pending < 0) pending = 0;
    return buffered().size() + static_cast<size_t>(pending);
}

std::string TcpSocket::peerAddress() const {
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (::getpeername(m_fd.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) return {};
    char text[INET_ADDRSTRLEN] = {};
    if (!::inet_ntop(AF_INET, &addr.sin_addr, text, sizeof text)) return {};
    return text;
}

void TcpSocket::shutdownBoth() { ::shutdown(m_fd.get(), SHUT_RDWR); }

std::optional<TcpListener> TcpListener::open(std::uint16_t port, std::string* error) {
    auto fail = [&](const char* what) -> std::optional<TcpListener> {
        if (error) *error = std::string(what) + ": " + std::strerror(errno);
        return std::nullopt;
    };
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return fail("socket");
    int one = 1;
    // A restart (new settings, or a quick program restart) must be able to bind again while
    // old connections linger in TIME_WAIT.
    ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    // Accepted sockets inherit fixed buffers instead of growing to megabytes each: a peer that
    // never reads then costs little kernel memory and meets the send time-out soon, not after
    // the server has answered it for minutes.
    const int buffer = kAcceptedBufferBytes;
    ::setsockopt(fd.get(), SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    ::setsockopt(fd.get(), SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) return fail("bind");
    // The kernel caps the backlog at net.core.somaxconn: asking for more lets a host that
    // raised it (for storms of reconnecting repeaters) have the longer queue.
    if (::listen(fd.get(), 65535) != 0) return fail("listen");
    // Accepts never block: acceptFor() waits in poll() (accepted sockets do not inherit it).
    ::fcntl(fd.get(), F_SETFL, ::fcntl(fd.get(), F_GETFL) | O_NONBLOCK);
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return TcpListener(std::move(fd), ntohs(addr.sin_port));
}

UniqueFd TcpListener::acceptFor(Millis timeoutMs, const Waker* interrupt,
                                std::optional<std::uint32_t>* peerAddress) {
    // The peer's address comes with the accept: no getpeername() per connection.
    const auto take = [&] {
        sockaddr_storage peer{};
        socklen_t len = sizeof peer;
        UniqueFd fd(::accept4(m_fd.get(), reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC));
        if (fd && peerAddress) {
            if (peer.ss_family == AF_INET)
                *peerAddress = ntohl(reinterpret_cast<const sockaddr_in&>(peer).sin_addr.s_addr);
            else
                peerAddress->reset();
        }
        return fd;
    };
    // A connection already queued is taken without a wait first: a storm of connections
    // costs one system call each, not two.
    if (!interrupt || !interrupt->isSet()) {
        UniqueFd fd = take();
        if (fd || (errno != EAGAIN && errno != EWOULDBLOCK)) return fd;
    }
    errno = 0;
    int ready = waitReadable(m_fd.get(), steadyClock().now() + timeoutMs, interrupt);
    if (ready != 1) return UniqueFd();
    return take();
}

}  // namespace kormlink
