#include "core/server.h"

#include <cstdio>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "platform/files.h"
#include "repeater_link/host_list.h"
#include "repeater_link/list_thrd.h"

namespace kormlink {

Server::Server(MainThread& mainThread, OperatorView& view, ServerOptions options)
    : m_mainThread(mainThread),
      m_view(view),
      m_options(std::move(options)),
      m_logs(m_options.dataDir, m_options.localTime) {}

Server::~Server() {
    StopServer();
    // Posted hand-overs (trace lines) refer to this object: run them while it still exists.
    m_mainThread.runPending();
}

std::string Server::iniPath() const { return joinPath(m_options.dataDir, kIniFileName); }

IniFile Server::readConfig() const { return IniFile::load(iniPath()); }

std::uint16_t Server::inputPort() const {
    return m_listener ? m_listener->boundPort() : 0;
}

void Server::LoadConfiguration() {
    if (m_running) return;
    const IniFile ini = readConfig();
    const ServerSettings settings = readServerSettings(ini);

    // The channel list: "Com" first when the serial output is enabled, then every section whose
    // name begins with "Client", in file order.
    m_channelIds.clear();
    ComOn = settings.ComOn;
    if (ComOn) m_channelIds.push_back("Com");
    for (const std::string& section : ini.sectionNames())
        if (isChannelSection(section)) m_channelIds.push_back(ini.readString(section, "Id", ""));
    HasChannels = !m_channelIds.empty();

    m_hostList = std::make_unique<tHostList>();
    m_listener = std::make_unique<TListThrd>(*this, settings.InPort);
    TestTimeMs = settings.TestTimeMs;

    // The output server (when HasChannels), the serial output (when ComOn) and the serial
    // repeater link start here once they exist.

    m_running = true;
    RefreshAll = true;
    ShowConnectionCount();
}

void Server::StopServer() {
    if (!m_running) return;
    m_running = false;

    m_listener->stop();
    m_listener.reset();

    m_hostList->StopAllConnections(m_mainThread, kStopWaitBoundMs);
    // Connections accepted just before the listener stopped are refused registration (the
    // server no longer runs) and end by themselves. The registry and this object must outlive
    // every connection thread, so the wait goes on, with a report now and then, until all
    // are gone; every wait inside a connection thread is bounded, so it ends.
    while (!m_mainThread.runUntil([this] { return m_liveWorkers.load() == 0; }, kStopWaitBoundMs))
        std::fprintf(stderr, "Kormlink: still waiting for %d repeater connection(s) to end\n",
                     m_liveWorkers.load());
    m_hostList.reset();
    m_view.connectionCountChanged(0);

    // The output server and its clients, the serial output, and the saving of every queue
    // follow here once they exist.
    m_channelIds.clear();
    HasChannels = false;
}

void Server::RouteEvent(std::string& eventLine, EventSource source) {
    if (m_eventTap) m_eventTap(eventLine, source);
}

void Server::ShowConnectionCount() {
    if (m_hostList) m_view.connectionCountChanged(m_hostList->size());
}

}  // namespace kormlink
