#pragma once

// tHostList: the registry of running repeater connections (TCP connections and the serial
// link), sorted by HpId. It refers to the connections and owns none of them: a connection
// registers itself when it starts and unregisters when it ends.
//
// Main thread only. Connection threads reach it through the main-thread hand-over.

#include <cstdint>
#include <vector>

#include "platform/clock.h"

namespace kormlink {

class MainThread;
class RepeaterConnection;

class tHostList {
public:
    // Appends the connection, then sorts by HpId.
    void RegisterConnection(RepeaterConnection* connection);
    // Appends the connection without sorting (the serial link joins at the end).
    void AppendConnection(RepeaterConnection* connection) { m_entries.push_back(connection); }
    // Sorts again, after a connection has learned its HpId.
    void ResortConnections();
    // Removes the connection (by identity). A connection that is not registered sounds a short
    // tone and is otherwise ignored.
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
    // The connection with that HpId, searched from the last entry backwards; nullptr when none.
    RepeaterConnection* findByHpId(std::uint32_t id) const;

private:
    std::vector<RepeaterConnection*> m_entries;
};

}  // namespace kormlink
