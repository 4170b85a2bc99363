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

#include <cerrno>
#include <cstring>
#include <system_error>

namespace kormlink {
namespace {

// Waits until fd is ready for `events`, the waker is set, or the deadline passes.
// Returns 1 ready, 0 time-out, -1 interrupted by the waker, -2 poll error.
int waitFor(int fd, short events, Millis deadline, const Waker* interrupt) {
    for (;;) {
        Millis left = deadline - steadyClock().now();
        if (left < 0) left = 0;
        pollfd fds[2] = {{fd, events, 0}, {interrupt ? interrupt->fd() : -1, POLLIN, 0}};
        int n = ::poll(fds, interrupt ? 2 : 1, static_cast<int>(left));
        if (n < 0) {
            if (errno == EINTR) continue;
            return -2;
        }
        if (interrupt && (fds[1].revents & POLLIN)) return -1;
        if (n > 0 && fds[0].revents) return 1;
        if (steadyClock().now() >= deadline) return 0;
    }
}

int waitReadable(int fd, Millis deadline, const Waker* interrupt) {
    return waitFor(fd, POLLIN, deadline, interrupt);
}

}  // namespace

Waker::Waker() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
    if (!m_fd) throw std::system_error(errno, std::generic_category(), "eventfd");
}

void Waker::wake() {
    std::uint64_t one = 1;
    [[maybe_unused]] ssize_t n = ::write(m_fd.get(), &one, sizeof one);
}

void Waker::reset() {
    std::uint64_t value;
    [[maybe_unused]] ssize_t n = ::read(m_fd.get(), &value, sizeof value);
}

bool Waker::isSet() const {
    pollfd p{m_fd.get(), POLLIN, 0};
    return ::poll(&p, 1, 0) > 0 && (p.revents & POLLIN);
}

TcpSocket::TcpSocket(UniqueFd fd, size_t maxLine) : m_fd(std::move(fd)), m_maxLine(maxLine) {}

std::optional<TcpSocket> TcpSocket::connectTo(const std::string& host, std::uint16_t port,
                                              Millis timeoutMs) {
    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return std::nullopt;
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
    int ready = waitReadable(m_fd.get(), deadline, interrupt);
    if (ready == 0) return Fill::Timeout;
    if (ready == -1) return Fill::Interrupted;
    if (ready < 0) return Fill::Error;
    char chunk[16 * 1024];
    for (;;) {
        ssize_t n = ::recv(m_fd.get(), chunk, sizeof chunk, MSG_DONTWAIT);
        if (n > 0) {
            m_buffer.append(chunk, static_cast<size_t>(n));
            return Fill::Data;
        }
        if (n == 0) return Fill::Closed;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return Fill::Timeout;
        return Fill::Error;
    }
}

RecvStatus TcpSocket::recvLine(std::string& line, Millis timeoutMs, const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    for (;;) {
        size_t from = m_scanFrom > 0 ? m_scanFrom - 1 : 0;
        size_t end = m_buffer.find("\r\n", from);
        if (end != std::string::npos) {
            if (end > m_maxLine) return RecvStatus::Overflow;
            line.assign(m_buffer, 0, end);
            m_buffer.erase(0, end + 2);
            m_scanFrom = 0;
            return RecvStatus::Line;
        }
        m_scanFrom = m_buffer.size();
        if (m_buffer.size() > m_maxLine) return RecvStatus::Overflow;
        switch (fillBuffer(deadline, interrupt)) {
            case Fill::Data: break;
            case Fill::Timeout: return RecvStatus::Timeout;
            case Fill::Closed: return RecvStatus::Closed;
            case Fill::Error: return RecvStatus::Error;
            case Fill::Interrupted: return RecvStatus::Interrupted;
        }
    }
}

RecvStatus TcpSocket::recvBytes(std::string& out, size_t n, Millis timeoutMs,
                                const Waker* interrupt) {
    const Millis deadline = steadyClock().now() + timeoutMs;
    while (m_buffer.size() < n) {
        switch (fillBuffer(deadline, interrupt)) {
            case Fill::Data: break;
            case Fill::Timeout: return RecvStatus::Timeout;
            case Fill::Closed: return RecvStatus::Closed;
            case Fill::Error: return RecvStatus::Error;
            case Fill::Interrupted: return RecvStatus::Interrupted;
        }
    }
    out.assign(m_buffer, 0, n);
    m_buffer.erase(0, n);
    m_scanFrom = 0;
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
    return m_buffer.size() + static_cast<size_t>(pending);
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
    if (::listen(fd.get(), SOMAXCONN) != 0) return fail("listen");
    socklen_t len = sizeof addr;
    ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&addr), &len);
    return TcpListener(std::move(fd), ntohs(addr.sin_port));
}

UniqueFd TcpListener::acceptFor(Millis timeoutMs, const Waker* interrupt) {
    errno = 0;
    int ready = waitReadable(m_fd.get(), steadyClock().now() + timeoutMs, interrupt);
    if (ready != 1) return UniqueFd();
    return UniqueFd(::accept4(m_fd.get(), nullptr, nullptr, SOCK_CLOEXEC));
}

}  // namespace kormlink
