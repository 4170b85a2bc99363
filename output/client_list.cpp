#include "output/client_list.h"

#include <algorithm>
#include <memory>

#include "core/main_thread.h"
#include "output/sout_thrd.h"
#include "platform/tone.h"

namespace kormlink {

bool tOHostList::remove(TSOutThrd* client) {
    auto it = std::find(m_entries.begin(), m_entries.end(), client);
    if (it == m_entries.end()) return false;
    m_entries.erase(it);
    return true;
}

bool tOHostList::contains(const TSOutThrd* client) const {
    return std::find(m_entries.begin(), m_entries.end(), client) != m_entries.end();
}

void tOHostList::StopAll(MainThread& mainThread, Millis waitBoundMs) {
    std::vector<TSOutThrd*> asked;
    for (;;) {
        auto it = std::find_if(m_entries.rbegin(), m_entries.rend(), [&](TSOutThrd* c) {
            return std::find(asked.begin(), asked.end(), c) == asked.end();
        });
        if (it == m_entries.rend()) break;
        TSOutThrd* client = *it;
        asked.push_back(client);
        std::shared_ptr<Completion> done = client->completion();
        client->requestStop();
        if (!mainThread.runUntil([&] { return done->isSet(); }, waitBoundMs)) tone(1400, 20);
    }
}

}  // namespace kormlink
