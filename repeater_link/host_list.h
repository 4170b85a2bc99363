#pragma once

// tHostList: the registry of running repeater connections (TCP connections and the serial
// link), sorted by HpId. It refers to the connections and owns none of them: a connection
// registers itself when it starts and unregisters when it ends.
//
// It also decides what a repeater Id claimed by more than one connection means:
//   - the same Id from the same address is the repeater connecting again while its old
//     connection lingers until the idle close: the older connection is asked to stop (its
//     normal end steps run) and commands go to the newer one;
//   - the same Id from different addresses (the serial link's "Com" counts as an address of
//     its own) cannot be told apart: while it lasts, the Id is contested and no command,
//     firmware or EEPROM upload or programming request goes to any of them. A command already
//     pending is dropped. Their events are received, answered and routed as ever.
// The operator hears of a conflict on stderr when it begins and when it ends, in the command
// window when a command is refused or dropped, and sees it in the lists and the status page.
//
// Main thread only. Connection threads reach it through the main-thread hand-over.

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kormlink {

class MainThread;
class RepeaterConnection;
class ServerHost;

// Where the operator's command for a repeater Id may go.
struct HpIdClaim {
    // The connection that takes it; nullptr when none holds the Id, or the Id is contested.
    RepeaterConnection* connection = nullptr;
    // While contested, the addresses that hold the Id (two or more); empty otherwise.
    std::vector<std::string> addresses;

    bool contested() const { return !addresses.empty(); }
    // The text that refuses a command for a contested Id.
    std::string refusal(std::uint32_t id) const;
};

// "a", "a and b", "a, b and c".
std::string joinAddresses(const std::vector<std::string>& addresses);

class tHostList {
public:
    // The host hears of replaced connections (a counter), has the command window for dropped
    // commands and redraws the lists; without one (tests of the order alone) nobody is told.
    explicit tHostList(ServerHost* host = nullptr) : m_host(host) {}

    // Appends the connection, then sorts by HpId.
    void RegisterConnection(RepeaterConnection* connection);
    // Appends the connection without sorting (the serial link joins at the end), then looks
    // at its Id like IdLearned.
    void AppendConnection(RepeaterConnection* connection);
    // Sorts again, after a connection has learned its HpId.
    void ResortConnections();
    // A connection has learned its HpId: sorts again, asks an older connection of the same Id
    // and address to stop, and notes whether the Id is now contested.
    void IdLearned(RepeaterConnection* connection);
    // Removes the connection (by identity). A connection that is not registered sounds a short
    // tone and is otherwise ignored. A conflict it was part of may end here.
    void UnregisterConnection(RepeaterConnection* connection);

    // Stops every registered connection, from the last entry to the first: request termination,
    // then keep running the main thread's hand-overs until that thread has ended. Connections
    // that end on their own meanwhile leave the registry and are skipped; each connection is
    // asked once however the list shifts. waitBoundMs bounds the wait for one connection; one
    // that does not end in time sounds a tone and the loop goes on.
    void StopAllConnections(MainThread& mainThread, Millis waitBoundMs);

    // 0 when equal, 1 when a is greater (unsigned), -1 otherwise.
    static int CompareHpId(std::uint32_t a, std::uint32_t b);

    std::size_t size() const { return m_entries.size(); }
    RepeaterConnection* at(std::size_t i) const { return m_entries.at(i); }
    const std::vector<RepeaterConnection*>& entries() const { return m_entries; }

    enum class Search { FromFirst, FromLast };
    // The connection with that HpId (the first or the last such entry, skipping connections
    // being replaced), or why there is none to take a command.
    HpIdClaim findByHpId(std::uint32_t id, Search from = Search::FromLast) const;
    // The contested Ids with the addresses that hold them, in Id order.
    const std::map<std::uint32_t, std::vector<std::string>>& contestedIds() const {
        return m_contested;
    }
    // The addresses holding the Id while it is contested; nullptr otherwise.
    const std::vector<std::string>* contestedBy(std::uint32_t id) const;

private:
    // Moves the entry at index to where a stable sort by Id puts it (the rest being sorted).
    void place(std::size_t index);
    // The entries that may hold id: its range while the list is sorted, else all of them.
    std::pair<std::size_t, std::size_t> holdersOf(std::uint32_t id) const;
    bool replaced(const RepeaterConnection* connection) const;
    // Brings the conflict state of the Id up to date with the entries that hold it; newcomer:
    // the connection that has just claimed it, if any.
    void updateClaims(std::uint32_t id, const RepeaterConnection* newcomer = nullptr);
    // Takes the pending command of every connection of a contested Id, and shows why.
    void dropPendingCommands(std::uint32_t id, const HpIdClaim& claim);

    ServerHost* m_host;
    std::vector<RepeaterConnection*> m_entries;
    std::vector<RepeaterConnection*> m_replaced;  // asked to stop, not yet unregistered
    std::map<std::uint32_t, std::vector<std::string>> m_contested;
    bool m_sorted = true;     // by Id, as ResortConnections() leaves it
    bool m_stopping = false;  // every connection is going: conflicts end without a report
};

}  // namespace kormlink
