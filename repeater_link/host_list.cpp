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
    // Waiting serves hand-overs, during which entries leave (and, before the owner stopped
    // taking connections on, could arrive), so positions shift: take the last entry not yet
    // asked each time instead of walking fixed positions.
    std::vector<RepeaterConnection*> asked;
    for (;;) {
        auto it = std::find_if(m_entries.rbegin(), m_entries.rend(), [&](RepeaterConnection* c) {
            return std::find(asked.begin(), asked.end(), c) == asked.end();
        });
        if (it == m_entries.rend()) break;
        RepeaterConnection* connection = *it;
        asked.push_back(connection);
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
