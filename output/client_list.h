#pragma once

// tOHostList: the output client connections that are attached to a channel. It refers to them
// and owns none. Main thread only.

#include <vector>

#include "platform/clock.h"

namespace kormlink {

class MainThread;
class TSOutThrd;

class tOHostList {
public:
    void add(TSOutThrd* client) { m_entries.push_back(client); }
    // False when the client is not in the list.
    bool remove(TSOutThrd* client);
    bool contains(const TSOutThrd* client) const;
    std::size_t size() const { return m_entries.size(); }
    const std::vector<TSOutThrd*>& entries() const { return m_entries; }

    // Stops every attached client, from the last to the first, each asked once: request
    // termination, then serve the main thread's hand-overs until its thread has ended (at most
    // waitBoundMs; a client that does not end in time sounds a tone and the loop goes on).
    void StopAll(MainThread& mainThread, Millis waitBoundMs);

private:
    std::vector<TSOutThrd*> m_entries;
};

}  // namespace kormlink
