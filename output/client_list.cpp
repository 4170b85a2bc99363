#include "output/client_list.h"

#include <algorithm>
#include <memory>

#include "core/stop_each.h"
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
    stopEach(m_entries, mainThread, waitBoundMs);
}

}  // namespace kormlink
