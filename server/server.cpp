#include "server/server.h"

#include <sys/stat.h>
#include <time.h>

#include "platform/address_list.h"

#include <algorithm>
#include <cstdio>

#include "core/event_line.h"
#include "core/main_thread.h"
#include "core/operator_view.h"
#include "output/channels.h"
#include "output/client_access.h"
#include "output/client_list.h"
#include "output/out_list_thrd.h"
#include "output/out_thrd.h"
#include "output/sout_thrd.h"
#include "platform/console_output.h"
#include "platform/files.h"
#include "repeater_link/com_thrd.h"
#include "repeater_link/host_list.h"
#include "repeater_link/list_thrd.h"
#include "repeater_link/repeater_connection.h"

namespace kormlink {

Server::Server(MainThread& mainThread, OperatorView& view, ServerOptions options)
    : m_mainThread(mainThread),
      m_view(view),
      m_options(std::move(options)),
      m_logs(m_options.dataDir, m_options.localTime),
      m_loops(std::make_unique<EventLoops>()),
      m_exchanges(std::make_unique<WorkerPool>(kMaxExchangeThreads, kExchangeThreadIdleMs)) {
    m_mainThread.setBeforeBatch([this] { m_logs.beginBatch(); });
    m_mainThread.setAfterBatch([this] {
        m_logs.endBatch();
        if (m_channels) {
            m_channels->afterBatch();
        } else {
            m_journalSync.publish(m_journalSync.written(), 0);
        }
        noteJournalHealth();
    });
}

Server::~Server() {
    StopServer();
    m_mainThread.setAfterBatch(nullptr);
    m_mainThread.setBeforeBatch(nullptr);
    m_logs.endBatch();
    m_mainThread.runPending();
}

std::string Server::iniPath() const { return joinPath(m_options.dataDir, kIniFileName); }

IniFile Server::readConfig() const {
    // Every connection reads its settings when it starts: ten thousand repeaters connecting at
    // once after an outage would otherwise read and parse the file ten thousand times. The
    // file is read again whenever it is another file or was written since (its inode, size,
    // change and modification times).
    const std::string path = iniPath();
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return IniFile::load(path);
    const ConfigKey key{st.st_ino, st.st_size, st.st_mtim.tv_sec, st.st_mtim.tv_nsec,
                        st.st_ctim.tv_sec, st.st_ctim.tv_nsec};
    {
        std::lock_guard lock(m_configMutex);
        if (m_config && m_configKey == key) return *m_config;
    }
    auto loaded = std::make_shared<const IniFile>(IniFile::load(path));
    // A file written in the last two seconds may be written again within the granularity of
    // its time stamps, unseen: it is not kept until it has been still for longer.
    timespec wall{};
    ::clock_gettime(CLOCK_REALTIME, &wall);
    if (wall.tv_sec - std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec) < 2) return *loaded;
    std::lock_guard lock(m_configMutex);
    m_config = loaded;
    m_configKey = key;
    return *loaded;
}

std::uint16_t Server::inputPort() const { return m_listener ? m_listener->boundPort() : 0; }

std::uint64_t Server::refusedByAddress() const {
    return m_listener ? m_listener->notAllowed() : 0;
}

std::uint64_t Server::refusedConnections() const {
    return m_listener ? m_listener->refused() : 0;
}

std::uint64_t Server::refusedClients() const {
    return m_outListener ? m_outListener->refused() : 0;
}

std::uint64_t Server::refusedPerAddress() const {
    return m_listener ? m_listener->refusedPerAddress() : 0;
}

std::uint64_t Server::refusedClientsPerAddress() const {
    return m_outListener ? m_outListener->refusedPerAddress() : 0;
}

std::uint16_t Server::outputPort() const {
    return m_outListener ? m_outListener->boundPort() : 0;
}

std::string Server::statusSummary() const {
    const auto counted = [](std::size_t n, const char* one, const char* many) {
        return std::to_string(n) + " " + (n == 1 ? one : many);
    };
    std::size_t queued = 0;
    if (m_channels)
        for (std::size_t i = 0; i < m_channels->size(); ++i) queued += m_channels->at(i).Queue.size();
    if (!m_running) return "Stopped";
    return counted(m_hostList ? m_hostList->size() : 0, "repeater", "repeaters") + ", " +
           counted(m_clientList ? m_clientList->size() : 0, "client", "clients") + ", " +
           counted(queued, "queued line", "queued lines");
}

StatusSnapshot Server::snapshot() const {
    StatusSnapshot s;
    s.running = m_running;
    if (m_hostList) {
        s.repeaters.reserve(m_hostList->size());
        for (const RepeaterConnection* c : m_hostList->entries()) {
            const std::uint32_t id = c->HpId.load();
            s.repeaters.push_back({hexId(id), c->Ip, c->MCnt.load(),
                                   c->EventLine, c->Nr});
        }
        for (const auto& [id, addresses] : m_hostList->contestedIds())
            s.contestedIds.push_back({hexId(id), addresses});
    }
    if (m_channels) {
        for (std::size_t i = 0; i < m_channels->size(); ++i) {
            const tOItem& c = m_channels->at(i);
            s.channels.push_back({c.Id, c.Queue.size(), c.QSize, c.Connected.load(), c.Routed,
                                  c.Delivered, c.Dropped.overflow, c.Dropped.lifetime,
                                  c.Dropped.duplicate});
        }
        for (const tOList::StrandedFile& f : m_channels->strandedFiles())
            s.strandedFiles.push_back({f.name, f.lines});
    }
    s.eventsReceived = m_eventsReceived;
    s.eventsAnswered = m_counters.eventsAnswered.load();
    s.timeSyncsToRepeaters = m_counters.timeSyncsToRepeaters.load();
    s.timeSyncsToClients = m_counters.timeSyncsToClients.load();
    s.overlongLines = m_counters.overlongLines.load();
    s.controlByteLines = m_counters.controlByteLines.load();
    s.unidentifiedClosed = m_counters.unidentifiedClosed.load();
    s.linesNotLogged = m_counters.linesNotLogged.load();
    s.repeaterConnectionsReplaced = m_counters.repeaterConnectionsReplaced.load();
    s.journalWrites = m_journalSync.writeCount();
    s.journalSyncs = m_journalSync.syncCount();
    s.handoverLatency = m_mainThread.handoverLatency();
    s.repeatersRefused = {refusedConnections(), refusedByAddress(), refusedPerAddress()};
    s.clientsRefused = {refusedClients(), m_counters.clientsNotAllowed.load(),
                        refusedClientsPerAddress()};
    s.clientIdsRefused = m_counters.clientIdsRefused.load();
    return s;
}

void Server::LoadConfiguration() {
    if (m_running) return;
    const IniFile ini = readConfig();
    const ServerSettings settings = readServerSettings(ini);

    ComOn = settings.ComOn;
    m_journalSync.setFsyncMode(settings.Fsync);
    m_channels = std::make_unique<tOList>(ini, m_options.dataDir, ComOn, &m_journalSync);
    HasChannels = m_channels->size() > 0;
    noteJournalHealth();

    // Running (taking connections on) from before the listeners start; if a start throws, the
    // partial start is stopped again before the exception goes on.
    m_running = true;
    try {
        startThreads(settings, ini);
    } catch (...) {
        StopServer();
        throw;
    }
    RefreshAll = true;
    ShowConnectionCount();
    ShowChannels();
}

// The allow list of a section, with its unusable values reported.
std::shared_ptr<const AddressList> readAllowList(const IniFile& ini, const char* section) {
    std::vector<std::string> bad;
    auto list = std::make_shared<const AddressList>(AddressList::fromSection(ini, section, &bad));
    for (const std::string& value : bad)
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: [%s] \"%s\" is no IPv4 address or network (a.b.c.d/n); it "
                      "allows nothing\n",
                      section, value.c_str());
    return list;
}

void Server::startThreads(const ServerSettings& settings, const IniFile& ini) {
    m_hostList = std::make_unique<tHostList>(this);
    // Checked before a repeater's connection gets a thread or a greeting.
    AcceptLimit repeaters{[this] { return std::int64_t{workers(WorkerKind::Repeater).load()}; },
                          settings.MaxConnections, "[In] MaxConnections", {}, "",
                          settings.MaxRepeatersPerAddress, "[In] MaxPerAddress"};
    if (auto allowed = readAllowList(ini, "RList"); !allowed->allowsAll()) {
        repeaters.allowed = [allowed](std::uint32_t address) { return allowed->allows(address); };
        repeaters.allowSetting = "[RList]";
    }
    m_listener = std::make_unique<TListThrd>(*this, settings.InPort, std::move(repeaters));
    TestTimeMs = settings.TestTimeMs;
    if (HasChannels) {
        // Each client is checked as it connects (the file may change meanwhile); here the
        // list is only read to report what it says.
        if (readAllowList(ini, "CList")->allowsAll())
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: [CList] lists no address: monitoring clients from any "
                          "address may take the queues\n");
        for (std::size_t i = 0; i < m_channels->size(); ++i)
            if (!IsUsableClientId(m_channels->at(i).Id))
                consolePrintf(ConsoleStream::Err,
                              "Kormlink: the Id of channel %zu (%zu bytes) is longer than %zu "
                              "bytes or holds a control byte; no monitoring client can name it\n",
                              i + 1, m_channels->at(i).Id.size(), kMaxClientIdBytes);
        m_clientList = std::make_unique<tOHostList>();
        const std::int64_t perAddress = settings.MaxClientsPerAddress >= 0
                                            ? settings.MaxClientsPerAddress
                                            : defaultClientsPerAddress(m_channels->size());
        m_outListener = std::make_unique<TOListThrd>(
            *this, settings.OutPort,
            AcceptLimit{[this] { return std::int64_t{workers(WorkerKind::OutputClient).load()}; },
                        settings.MaxClients, "[Out] MaxClients", {}, "", perAddress,
                        "[Out] MaxPerAddress"});
    }
    if (ComOn) m_serialOutput = std::make_unique<TOutThrd>(*this);
    // The serial repeater link: Nr 2, an entry of the registry; a port that cannot be opened
    // means no link, silently.
    TComThrd::Create(*this, 2);
    if (settings.HttpPort > 0 && settings.HttpPort <= 65535) {
        std::string error;
        m_statusService =
            StatusService::start(*this, m_mainThread, settings.HttpAddress,
                                 static_cast<std::uint16_t>(settings.HttpPort), &error);
        if (m_statusService)
            consolePrintf(ConsoleStream::Err, "Kormlink: status page and metrics on http://%s:%u/\n",
                          settings.HttpAddress.c_str(), unsigned{m_statusService->port()});
        else
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: cannot serve the status page on %s:%d (%s)\n",
                          settings.HttpAddress.c_str(), static_cast<int>(settings.HttpPort),
                          error.c_str());
    }
}

void Server::waitForWorkers(WorkerKind kind, const char* what) {
    // The registries and this object must outlive every worker thread; every wait inside a
    // worker is bounded, so this ends.
    while (!m_mainThread.runUntil([&] { return workers(kind).load() == 0; }, kStopWaitBoundMs))
        consolePrintf(ConsoleStream::Err, "Kormlink: still waiting for %d %s to end\n",
                      workers(kind).load(), what);
}

void Server::StopServer() {
    if (!m_running) return;
    m_running = false;  // from here on, connections that have not registered yet are refused
    m_statusService.reset();

    if (m_listener) m_listener->stop();
    m_listener.reset();
    if (m_hostList) m_hostList->StopAllConnections(m_mainThread, kStopWaitBoundMs);
    waitForWorkers(WorkerKind::Repeater, "repeater connection(s)");
    m_hostList.reset();
    m_view.connectionCountChanged(0);

    if (m_outListener) {
        m_outListener->stop();
        m_outListener.reset();
    }
    if (m_clientList) m_clientList->StopAll(m_mainThread, kStopWaitBoundMs);
    // Clients still identifying, or held after naming no channel, are not attached: they are
    // stopped too, before the channel list goes.
    for (TSOutThrd* client : m_allClients) client->requestStop();
    waitForWorkers(WorkerKind::OutputClient, "output client(s)");
    m_clientList.reset();

    if (m_serialOutput) {
        m_serialOutput->stop();
        m_serialOutput.reset();
    }

    if (m_channels) m_channels->SaveQueues();
    m_channels.reset();
    HasChannels = false;
    ShowChannels();
}

void Server::RouteEvent(std::string& eventLine, EventSource source) {
    // The connection that handed the line over goes on (and answers) only once the batch has
    // written its journal records.
    m_mainThread.releaseAfterBatch();
    ++m_eventsReceived;
    if (m_channels) m_channels->RouteEvent(eventLine, source == EventSource::Tcp, localTime());
    noteJournalHealth();
    if (m_eventTap) m_eventTap(eventLine, source);
}

JournalReceipt Server::journalReceipt() const {
    if (!m_channels) return JournalReceipt{m_journalSync.written(), true, 0, 0};
    return JournalReceipt{m_journalSync.written(), m_channels->lastRouteKept(),
                          m_channels->lastRouteFrom(), m_channels->lastRouteJournals()};
}

void Server::noteJournalHealth() {
    m_journalsHealthy = !m_channels || m_channels->journalsHealthy();
}

bool Server::awaitJournal(const JournalReceipt& receipt) {
    if (!receipt.kept) return false;
    // The nudge makes an idle main thread run a batch, and so the sync that covers the ticket.
    // The main thread itself writes the records: waiting there would only stall everything
    // for the whole bound, so it takes the state as it is.
    const Millis bound = m_mainThread.isMainThread() ? 0 : kJournalWaitBoundMs;
    return m_journalSync.await(receipt.from, receipt.ticket, receipt.journals, bound,
                               [this] { m_mainThread.post([] {}); });
}

bool Server::takeUnattachedSlot() {
    if (++m_unattachedClients <= kMaxUnattachedClients) return true;
    --m_unattachedClients;
    if (!m_reportedClientFlood.exchange(true))
        consolePrintf(
            ConsoleStream::Err,
            "Kormlink: more than %d output connections name no channel; closing new ones\n",
            kMaxUnattachedClients);
    return false;
}

void Server::ShowConnectionCount() {
    if (m_hostList) m_view.connectionCountChanged(m_hostList->size());
}

void Server::registerClient(TSOutThrd* client) { m_allClients.push_back(client); }

void Server::unregisterClient(TSOutThrd* client) {
    m_allClients.erase(std::remove(m_allClients.begin(), m_allClients.end(), client),
                       m_allClients.end());
}

void Server::ShowChannels() { m_view.channelsChanged(); }

}  // namespace kormlink
