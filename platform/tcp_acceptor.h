#pragma once

// A listening thread: binds 0.0.0.0:port, waits for connections in steps of one second and
// hands each accepted socket to a callback, until stopped. A port that cannot be bound is
// reported once on stderr and tried again every few seconds until it can be, or the stop.
//
// With a limit, a connection that arrives while `inUse()` has reached `most` is closed at
// once, and so is one whose address `allowed` refuses, or whose address holds `perAddress`
// connections already (before anything is sent). Refusals are counted and reported on stderr
// at most once a minute: the first at once, the rest of that minute when it is over.

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "platform/tcp.h"

namespace kormlink {

struct AcceptLimit {
    std::function<std::int64_t()> inUse;  // connections being served now; any thread
    std::int64_t most = 0;                // 0: no limit
    std::string setting;                  // names the INI key in the report
    // The peer's IPv4 address (host order) may connect; unset: every address may.
    std::function<bool(std::uint32_t)> allowed;
    std::string allowSetting;             // names the allow list in the report
    // The most connections one IPv4 address may hold at once; 0: no limit.
    std::int64_t perAddress = 0;
    std::string perAddressSetting;        // names the INI key in the report
};

// Connections held per peer address, shared by an acceptor and the slots it has handed out
// (a slot may outlive the acceptor). Thread-safe.
class AddressCounts;

// One connection's place in the count of its address. The acceptor hands it over with the
// socket; whoever serves the connection keeps it until the service ends, and the place is
// given back when the slot is destroyed, however that comes about. An empty slot counts
// nothing (no per-address limit, or the peer's address is unknown).
class AddressSlot {
public:
    AddressSlot() = default;
    AddressSlot(AddressSlot&& other) noexcept;
    AddressSlot& operator=(AddressSlot&& other) noexcept;
    ~AddressSlot() { release(); }
    void release() noexcept;

private:
    friend class TcpAcceptor;
    AddressSlot(std::shared_ptr<AddressCounts> counts, std::uint32_t address)
        : m_counts(std::move(counts)), m_address(address) {}
    std::shared_ptr<AddressCounts> m_counts;
    std::uint32_t m_address = 0;
};

class TcpAcceptor {
public:
    using OnAccept = std::function<void(UniqueFd socket, AddressSlot slot)>;
    static constexpr Millis kRefusalReportMs = 60'000;

    // Starts at once. `what` names the listener in reports ("repeaters", "monitoring clients").
    // onAccept runs on the acceptor's thread; an exception from it is reported and the
    // acceptor goes on (the slot it was given is back by then, unless it was moved on).
    TcpAcceptor(std::int32_t port, std::string what, OnAccept onAccept, AcceptLimit limit = {});
    ~TcpAcceptor();
    TcpAcceptor(const TcpAcceptor&) = delete;
    TcpAcceptor& operator=(const TcpAcceptor&) = delete;

    // Requests termination and waits for the thread to end. Idempotent.
    void stop();
    // The bound port; 0 before binding and when binding failed.
    std::uint16_t boundPort() const { return m_boundPort.load(); }
    // Connections refused by the limit, by the allow list, and by the per-address limit,
    // since the start.
    std::uint64_t refused() const { return m_refused.load(); }
    std::uint64_t notAllowed() const { return m_notAllowed.load(); }
    std::uint64_t refusedPerAddress() const { return m_refusedPerAddress.load(); }

private:
    void run();
    // Whether a connection from `address` (nullopt: not IPv4) is served; its place is taken.
    bool admit(const std::optional<std::uint32_t>& address, AddressSlot& slot);
    void reportRefusals(bool minuteOver);

    const std::int32_t m_port;
    const std::string m_what;
    OnAccept m_onAccept;
    const AcceptLimit m_limit;
    std::atomic<std::uint64_t> m_refused{0};
    std::atomic<std::uint64_t> m_notAllowed{0};
    std::atomic<std::uint64_t> m_refusedPerAddress{0};
    std::uint64_t m_refusedUnreported = 0;  // acceptor thread, as are the two below
    std::uint64_t m_notAllowedUnreported = 0;
    std::uint64_t m_perAddressUnreported = 0;
    std::shared_ptr<AddressCounts> m_counts;  // set with a per-address limit
    Millis m_nextReportAt = 0;              // acceptor thread; steady time
    Waker m_stop;
    std::atomic<std::uint16_t> m_boundPort{0};
    std::thread m_thread;
};

}  // namespace kormlink
