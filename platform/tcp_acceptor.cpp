#include "platform/tcp_acceptor.h"
#include "platform/console_output.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <pthread.h>

#include <cerrno>
#include <cstdio>
#include <exception>
#include <mutex>
#include <unordered_map>

namespace kormlink {
namespace {
constexpr Millis kAcceptWaitMs = 1000;
// After a failed accept (for example no file descriptors left) the acceptor pauses instead of
// spinning on the still-pending connection.
constexpr Millis kAcceptFailurePauseMs = 100;
constexpr Millis kListenRetryMs = 5000;
}  // namespace

// An address is in the map only while it holds a connection, so the map is never larger than
// the number of connections being served.
class AddressCounts {
public:
    // Takes a place for the address; false when it holds `most` already.
    bool take(std::uint32_t address, std::int64_t most) {
        std::lock_guard lock(m_mutex);
        std::int64_t& held = m_held[address];
        if (held >= most) return false;
        ++held;
        return true;
    }
    void give(std::uint32_t address) noexcept {
        std::lock_guard lock(m_mutex);
        auto it = m_held.find(address);
        if (it != m_held.end() && --it->second <= 0) m_held.erase(it);
    }

private:
    std::mutex m_mutex;
    std::unordered_map<std::uint32_t, std::int64_t> m_held;
};

AddressSlot::AddressSlot(AddressSlot&& other) noexcept
    : m_counts(std::move(other.m_counts)), m_address(other.m_address) {}

AddressSlot& AddressSlot::operator=(AddressSlot&& other) noexcept {
    if (this != &other) {
        release();
        m_counts = std::move(other.m_counts);
        m_address = other.m_address;
    }
    return *this;
}

void AddressSlot::release() noexcept {
    if (!m_counts) return;
    m_counts->give(m_address);
    m_counts.reset();
}

TcpAcceptor::TcpAcceptor(std::int32_t port, std::string what, OnAccept onAccept,
                         AcceptLimit limit)
    : m_port(port),
      m_what(std::move(what)),
      m_onAccept(std::move(onAccept)),
      m_limit(std::move(limit)),
      m_counts(m_limit.perAddress > 0 ? std::make_shared<AddressCounts>() : nullptr),
      m_thread([this] { run(); }) {}

TcpAcceptor::~TcpAcceptor() { stop(); }

void TcpAcceptor::stop() {
    m_stop.wake();
    if (m_thread.joinable()) m_thread.join();
}

void TcpAcceptor::run() {
    // "accept repeater", "accept monitori": a name that top, perf and the soak test can find.
    ::pthread_setname_np(::pthread_self(), ("accept " + m_what).substr(0, 15).c_str());
    std::optional<TcpListener> listener;
    if (m_port < 0 || m_port > 65535) {
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: cannot listen for %s on port %d (not a port number)\n",
                      m_what.c_str(), m_port);
        pollfd p{m_stop.fd(), POLLIN, 0};
        while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
        }
        return;
    }
    // A port still held (by a process on its way out, or another program) is tried again
    // until it is free: the server serves as soon as it can, without a restart.
    for (bool told = false; !listener;) {
        std::string error;
        listener = TcpListener::open(static_cast<std::uint16_t>(m_port), &error);
        if (listener) break;
        if (!told)
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: cannot listen for %s on port %d (%s); trying again every "
                          "%lld s\n",
                          m_what.c_str(), m_port, error.c_str(),
                          static_cast<long long>(kListenRetryMs / 1000));
        told = true;
        if (!pauseUnlessWoken(m_stop.fd(), kListenRetryMs)) return;
    }
    m_boundPort = listener->port();
    consolePrintf(ConsoleStream::Err, "Kormlink: listening for %s on port %u\n", m_what.c_str(),
                 listener->port());

    while (!m_stop.isSet()) {
        std::optional<std::uint32_t> address;
        UniqueFd fd = listener->acceptFor(kAcceptWaitMs, &m_stop, &address);
        if (m_stop.isSet()) break;
        reportRefusals(steadyClock().now() >= m_nextReportAt);
        AddressSlot slot;
        if (fd && !admit(address, slot)) continue;  // closed at once by fd's end
        if (!fd) {
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM)
                sleepMs(kAcceptFailurePauseMs);
            continue;
        }
        try {
            m_onAccept(std::move(fd), std::move(slot));
        } catch (const std::exception& e) {
            // The connection is closed (its socket went with the failed start); others go on.
            consolePrintf(ConsoleStream::Err, "Kormlink: cannot serve a connection from %s (%s)\n",
                         m_what.c_str(), e.what());
            sleepMs(kAcceptFailurePauseMs);
        } catch (...) {
            // Whatever was thrown, the listener must not take the process down with it.
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: cannot serve a connection from %s (unknown error)\n",
                          m_what.c_str());
            sleepMs(kAcceptFailurePauseMs);
        }
    }
}

bool TcpAcceptor::admit(const std::optional<std::uint32_t>& address, AddressSlot& slot) {
    // The first refusal after a quiet minute is told at once, the others with the minute.
    const auto refuse = [this](std::atomic<std::uint64_t>& count, std::uint64_t& unreported) {
        ++count;
        ++unreported;
        if (steadyClock().now() >= m_nextReportAt) reportRefusals(true);
        return false;
    };
    if (m_limit.allowed && (!address || !m_limit.allowed(*address)))
        return refuse(m_notAllowed, m_notAllowedUnreported);
    if (m_limit.most > 0 && m_limit.inUse && m_limit.inUse() >= m_limit.most)
        return refuse(m_refused, m_refusedUnreported);
    // Without a known address there is nothing to count it against (a listener bound to
    // 0.0.0.0 always has one).
    if (m_counts && address) {
        if (!m_counts->take(*address, m_limit.perAddress))
            return refuse(m_refusedPerAddress, m_perAddressUnreported);
        slot = AddressSlot(m_counts, *address);
    }
    return true;
}

void TcpAcceptor::reportRefusals(bool minuteOver) {
    if (!minuteOver ||
        (m_refusedUnreported == 0 && m_notAllowedUnreported == 0 && m_perAddressUnreported == 0))
        return;
    const auto tell = [this](std::uint64_t count, const std::string& why) {
        if (count == 0) return;
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: %llu connection%s from %s refused in the last minute: %s\n",
                      static_cast<unsigned long long>(count), count == 1 ? "" : "s",
                      m_what.c_str(), why.c_str());
    };
    tell(m_refusedUnreported, std::to_string(m_limit.most) + " at once is the most (" +
                                  m_limit.setting + ")");
    tell(m_notAllowedUnreported, "the address is not in " + m_limit.allowSetting);
    tell(m_perAddressUnreported, std::to_string(m_limit.perAddress) +
                                     " at once from one address is the most (" +
                                     m_limit.perAddressSetting + ")");
    m_refusedUnreported = 0;
    m_notAllowedUnreported = 0;
    m_perAddressUnreported = 0;
    m_nextReportAt = steadyClock().now() + kRefusalReportMs;
}

}  // namespace kormlink
