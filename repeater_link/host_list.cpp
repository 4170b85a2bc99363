#include "repeater_link/host_list.h"

#include <algorithm>

#include "core/stop_each.h"
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
    stopEach(m_entries, mainThread, waitBoundMs);
}

RepeaterConnection* tHostList::findByHpId(std::uint32_t id) const {
    for (auto it = m_entries.rbegin(); it != m_entries.rend(); ++it)
        if ((*it)->HpId.load() == id) return *it;
    return nullptr;
}

}  // namespace kormlink
