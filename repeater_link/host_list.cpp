#include "repeater_link/host_list.h"

#include <algorithm>

#include "core/main_thread.h"
#include "platform/tone.h"
#include "repeater_link/repeater_connection.h"

namespace kormlink {

int tHostList::CompareHpId(std::uint32_t a, std::uint32_t b) {
    if (a == b) return 0;
    return a > b ? 1 : -1;
}

void tHostList::RegisterConnection(RepeaterConnection* connection) {
    m_entries.push_back(connection);
    ResortConnections();
}

void tHostList::ResortConnections() {
    // Stable, so connections with equal Ids keep the order in which they came.
    std::stable_sort(m_entries.begin(), m_entries.end(),
                     [](const RepeaterConnection* a, const RepeaterConnection* b) {
                         return CompareHpId(a->HpId.load(), b->HpId.load()) < 0;
                     });
}

void tHostList::UnregisterConnection(RepeaterConnection* connection) {
    auto it = std::find(m_entries.begin(), m_entries.end(), connection);
    if (it == m_entries.end()) {
        tone(3000, 1);
        return;
    }
    m_entries.erase(it);
}

void tHostList::StopAllConnections(MainThread& mainThread, Millis waitBoundMs) {
    for (std::size_t i = m_entries.size(); i-- > 0;) {
        // Connections that ended on their own during an earlier wait have left the list.
        if (i >= m_entries.size()) continue;
        RepeaterConnection* connection = m_entries[i];
        std::shared_ptr<Completion> done = connection->completion();
        connection->requestStop();
        if (!mainThread.runUntil([&] { return done->isSet(); }, waitBoundMs)) tone(1400, 20);
    }
}

RepeaterConnection* tHostList::findByHpId(std::uint32_t id) const {
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
        if ((*it)->HpId.load() == id) return *it;
    return nullptr;
}

}  // namespace kormlink
