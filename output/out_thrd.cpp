#include "output/out_thrd.h"

#include <poll.h>

#include <atomic>
#include <cstdio>
#include <exception>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "core/server_host.h"
#include "output/channels.h"
#include "output/client_access.h"
#include "platform/console_output.h"

namespace kormlink {

TOutThrd::TOutThrd(ServerHost& host) : m_host(host), m_thread([this] { run(); }) {}

TOutThrd::~TOutThrd() { stop(); }

void TOutThrd::stop() {
    m_stop.wake();
    if (!m_thread.joinable()) return;
    // The thread may be waiting for a hand-over: keep serving them until it has ended. Every
    // wait in its cycle ends when the stop is requested.
    m_host.mainThread().runUntil([this] { return m_ended.load(); }, 60'000);
    m_thread.join();
}

void TOutThrd::run() {
    try {
        const IniFile ini = m_host.readConfig();
        bool invalidLifeTime = false;
        m_lifetime = readLifeTime(ini, &invalidLifeTime);
        if (invalidLifeTime)
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: [Opt] LifeTime is no time (h:mm); using 4:00\n");
        const std::int32_t portNumber = ini.readInteger("Out", "Com", 0);
        SyncPeriod = readClientSyncPeriod(ini);
        m_nextSync = m_host.clock().now() + SyncPeriod;
        m_host.mainThread().call([&] {
            if (tOList* list = m_host.channels(); list && list->size() > 0)
                m_channel = &list->at(0);
        });
        if (!m_channel) return;

        std::string error;
        const std::string path = serialDevicePath(ini, portNumber);
        const SerialSettings settings = readSerialSettings(ini, "Out");
        std::optional<SerialPort> opened = SerialPort::open(path, settings, &error);
        const bool openedAtStart = opened.has_value();
        // Once gone (or missing at the start), the port is tried again every few seconds.
        m_port.emplace("serial output COM" + std::to_string(portNumber), path, settings,
                       std::move(opened));
        if (!openedAtStart) {
            consolePrintf(ConsoleStream::Err, "Kormlink: serial output COM%d (%s): %s\n",
                          portNumber, path.empty() ? "no device" : path.c_str(), error.c_str());
            // The thread waits until the operator has closed the box (or a stop).
            auto closed = std::make_shared<std::atomic<bool>>(false);
            m_host.mainThread().call([&] {
                m_host.view().showMessageBox("Error", "Cannot open Com port!",
                                             [closed] { *closed = true; });
            });
            while (!*closed && pause(100)) {
            }
        } else {
            setConnected(true);
        }
        while (!m_stop.isSet()) cycle();
    } catch (const std::exception& e) {
        consolePrintf(ConsoleStream::Err, "Kormlink: serial output ended by an error: %s\n",
                      e.what());
    } catch (...) {
        consolePrintf(ConsoleStream::Err, "Kormlink: serial output ended by an unknown error\n");
    }
    try {
        if (m_channel) setConnected(false);
    } catch (...) {
    }
    m_port.reset();
    m_ended = true;
}

void TOutThrd::cycle() {
    std::string line;
    std::uint64_t seq = 0;
    bool timeSync = false;
    const Millis now = m_host.clock().now();
    if (SyncPeriod > 0 && now > m_nextSync) {
        m_nextSync = now + SyncPeriod;
        line = "systime" + formatDateTimeNumber(dateTimeNumber(m_host.localTime()));
        timeSync = true;
    } else {
        m_host.mainThread().call([&] {
            if (tOList* list = m_host.channels()) {
                tOList::Head head = list->FetchHead(std::size_t{0});
                line = std::move(head.text);
                seq = head.seq;
            }
        });
    }
    if (line.empty()) {
        pause(kIdlePauseMs);
        return;
    }
    if (!timeSync && !IsAlive(line, m_lifetime, m_host.localTime())) {
        m_host.mainThread().call([&] {
            if (tOList* list = m_host.channels();
                list && list->RemoveLine(std::size_t{0}, seq, /*expired=*/true))
                m_host.MarkQueueChanged();
        });
        return;
    }
    bool answered = false;
    const Millis answerDeadline = m_host.clock().now() + kAnswerTimeoutMs;
    SerialPort* port = m_port ? m_port->port(m_host.clock().now()) : nullptr;
    if (!port) setConnected(false);  // a lost port answers nothing
    if (port) {
        // Only a CR that arrives after the line was sent acknowledges it.
        port->discardInput();
        if (port->write(line + "\n", kWriteTimeoutMs, &m_stop)) {
            answered = port->waitForByte('\r', kAnswerTimeoutMs, &m_stop);
        } else {
            // Held back by flow control or a port that has gone: drop the unsent rest, so a
            // repeat does not follow a fragment, and wait out the answer time like any
            // unanswered line instead of spinning.
            port->discardOutput();
            pause(std::max<Millis>(answerDeadline - m_host.clock().now(), 0));
        }
        port->discardInput();
    } else {
        pause(kAnswerTimeoutMs);
    }
    if (m_stop.isSet()) return;
    if (answered && !timeSync) {
        // Delivered: the receiver has the line.
        m_host.mainThread().call([&] {
            if (tOList* list = m_host.channels(); list && list->RemoveLine(std::size_t{0}, seq))
                m_host.MarkQueueChanged();
        });
    }
    setConnected(answered);
}

void TOutThrd::setConnected(bool up) {
    if (up == m_linkUp) return;
    m_linkUp = up;
    // The count belongs to the main thread, which TCP clients of the same channel change too.
    m_host.mainThread().call([&] {
        if (up) {
            ++m_channel->Connected;
        } else if (m_channel->Connected > 0) {
            --m_channel->Connected;
        }
        m_host.MarkQueueChanged();
    });
}

bool TOutThrd::pause(Millis ms) { return pauseUnlessWoken(m_stop.fd(), ms); }

}  // namespace kormlink
