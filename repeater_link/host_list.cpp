#include "repeater_link/host_list.h"

#include <algorithm>
#include <type_traits>

#include "config_image/cfg_image.h"
#include "core/event_line.h"
#include "core/operator_view.h"
#include "core/server_host.h"
#include "core/stop_each.h"
#include "device/program_editor.h"
#include "platform/console_output.h"
#include "platform/tone.h"
#include "repeater_link/repeater_connection.h"

namespace kormlink {

std::string joinAddresses(const std::vector<std::string>& addresses) {
    std::string text;
    for (std::size_t i = 0; i < addresses.size(); ++i) {
        if (i > 0) text += i + 1 == addresses.size() ? " and " : ", ";
        text += addresses[i];
    }
    return text;
}

std::string HpIdClaim::refusal(std::uint32_t id) const {
    return "Id " + hexId(id) + " is claimed by " + joinAddresses(addresses) +
           "; commands are refused until one of them ends.";
}

int tHostList::CompareHpId(std::uint32_t a, std::uint32_t b) {
    if (a == b) return 0;
    return a > b ? 1 : -1;
}

namespace {

bool byHpId(const RepeaterConnection* a, const RepeaterConnection* b) {
    return tHostList::CompareHpId(a->HpId.load(), b->HpId.load()) < 0;
}

}  // namespace

void tHostList::RegisterConnection(RepeaterConnection* connection) {
    m_entries.push_back(connection);
    place(m_entries.size() - 1);
}

void tHostList::AppendConnection(RepeaterConnection* connection) {
    m_entries.push_back(connection);
    m_sorted = m_sorted && (m_entries.size() < 2 || !byHpId(connection, m_entries.end()[-2]));
    updateClaims(connection->HpId.load(), connection);  // the serial link comes with its Id
}

void tHostList::ResortConnections() {
    // Stable, so connections with equal Ids keep the order in which they came.
    std::stable_sort(m_entries.begin(), m_entries.end(), byHpId);
    m_sorted = true;
}

void tHostList::place(std::size_t index) {
    // Where the stable sort would put the one entry whose Id changed: among those with its Id,
    // after the ones that stood before it and before the ones after it. A thousand repeaters
    // saying who they are after an outage then cost a move each, not a sort each.
    if (!m_sorted) return ResortConnections();
    RepeaterConnection* entry = m_entries[index];
    m_entries.erase(m_entries.begin() + static_cast<std::ptrdiff_t>(index));
    const auto [first, last] = std::equal_range(m_entries.begin(), m_entries.end(), entry, byHpId);
    const auto lo = static_cast<std::size_t>(first - m_entries.begin());
    const auto hi = static_cast<std::size_t>(last - m_entries.begin());
    m_entries.insert(m_entries.begin() + static_cast<std::ptrdiff_t>(std::clamp(index, lo, hi)),
                     entry);
}

std::pair<std::size_t, std::size_t> tHostList::holdersOf(std::uint32_t id) const {
    if (!m_sorted) return {0, m_entries.size()};
    const auto [first, last] = std::equal_range(
        m_entries.begin(), m_entries.end(), id,
        [](const auto& a, const auto& b) {
            const auto key = [](const auto& v) -> std::uint32_t {
                if constexpr (std::is_pointer_v<std::decay_t<decltype(v)>>)
                    return v->HpId.load();
                else
                    return v;
            };
            return CompareHpId(key(a), key(b)) < 0;
        });
    return {static_cast<std::size_t>(first - m_entries.begin()),
            static_cast<std::size_t>(last - m_entries.begin())};
}

void tHostList::IdLearned(RepeaterConnection* connection) {
    const auto it = std::find(m_entries.begin(), m_entries.end(), connection);
    if (it == m_entries.end()) {
        ResortConnections();
    } else {
        place(static_cast<std::size_t>(it - m_entries.begin()));
    }
    const std::uint32_t id = connection->HpId.load();
    if (id == 0) return;
    // The repeater has connected again from where it was: its old connection would only wait
    // for the idle close, and take commands meant for the new one meanwhile.
    const auto [lo, hi] = holdersOf(id);
    for (std::size_t i = lo; i < hi; ++i) {
        RepeaterConnection* older = m_entries[i];
        if (older == connection || older->HpId.load() != id || older->Ip != connection->Ip ||
            replaced(older))
            continue;
        m_replaced.push_back(older);
        older->requestStop();
        if (m_host) ++m_host->counters().repeaterConnectionsReplaced;
    }
    updateClaims(id, connection);
}

void tHostList::UnregisterConnection(RepeaterConnection* connection) {
    auto it = std::find(m_entries.begin(), m_entries.end(), connection);
    if (it == m_entries.end()) {
        tone(3000, 1);
        return;
    }
    m_entries.erase(it);
    std::erase(m_replaced, connection);
    updateClaims(connection->HpId.load());
}

void tHostList::StopAllConnections(MainThread& mainThread, Millis waitBoundMs) {
    m_stopping = true;
    stopEach(m_entries, mainThread, waitBoundMs);
}

bool tHostList::replaced(const RepeaterConnection* connection) const {
    return std::find(m_replaced.begin(), m_replaced.end(), connection) != m_replaced.end();
}

HpIdClaim tHostList::findByHpId(std::uint32_t id, Search from) const {
    HpIdClaim claim;
    if (const auto* addresses = contestedBy(id)) {
        claim.addresses = *addresses;
        return claim;
    }
    auto holds = [&](const RepeaterConnection* c) { return c->HpId.load() == id && !replaced(c); };
    if (from == Search::FromLast) {
        auto it = std::find_if(m_entries.rbegin(), m_entries.rend(), holds);
        if (it != m_entries.rend()) claim.connection = *it;
    } else {
        auto it = std::find_if(m_entries.begin(), m_entries.end(), holds);
        if (it != m_entries.end()) claim.connection = *it;
    }
    return claim;
}

const std::vector<std::string>* tHostList::contestedBy(std::uint32_t id) const {
    auto it = m_contested.find(id);
    return it == m_contested.end() ? nullptr : &it->second;
}

void tHostList::updateClaims(std::uint32_t id, const RepeaterConnection* newcomer) {
    if (id == 0) return;  // a connection that has not said who it is claims nothing
    // The addresses that held the Id before the newcomer come first.
    std::vector<std::string> addresses;
    auto add = [&](const RepeaterConnection* c) {
        if (std::find(addresses.begin(), addresses.end(), c->Ip) == addresses.end())
            addresses.push_back(c->Ip);
    };
    const auto [lo, hi] = holdersOf(id);
    for (std::size_t i = lo; i < hi; ++i) {
        const RepeaterConnection* c = m_entries[i];
        if (c != newcomer && c->HpId.load() == id && !replaced(c)) add(c);
    }
    if (newcomer) add(newcomer);
    auto it = m_contested.find(id);
    if (addresses.size() >= 2) {
        const bool begins = it == m_contested.end();
        m_contested[id] = addresses;
        const HpIdClaim claim{nullptr, std::move(addresses)};
        if (begins)
            consolePrintf(ConsoleStream::Err, "Kormlink: repeater %s\n",
                          claim.refusal(id).c_str());
        dropPendingCommands(id, claim);
    } else if (it != m_contested.end()) {
        m_contested.erase(it);
        for (RepeaterConnection* c : m_entries)
            if (c->HpId.load() == id) c->refuseCommands(false);
        if (!m_stopping)
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: repeater Id %s is no longer contested (%s remains); commands "
                          "for it are taken again\n",
                          hexId(id).c_str(),
                          addresses.empty() ? "none" : addresses.front().c_str());
    } else {
        return;
    }
    if (m_host) m_host->MarkRefresh();
}

void tHostList::dropPendingCommands(std::uint32_t id, const HpIdClaim& claim) {
    for (RepeaterConnection* c : m_entries) {
        if (c->HpId.load() != id) continue;
        auto [cmd, editor] = c->refuseCommands(true);
        if (cmd.empty()) continue;
        // A programming request waits for its editor: it has failed.
        if (editor) editor->image().TransferState = kTransferFailed;
        if (m_host) m_host->view().ShowInCommandWindow(claim.refusal(id));
    }
}

}  // namespace kormlink
