#include "output/sout_thrd.h"

#include <poll.h>

#include <cstdio>
#include <exception>
#include <thread>

#include "core/main_thread.h"
#include "core/server_host.h"
#include "output/channels.h"
#include "output/client_access.h"
#include "output/client_list.h"
#include "platform/tone.h"
#include "core/daily_logs.h"
#include "core/event_line.h"
#include "platform/console_output.h"

namespace kormlink {

void TSOutThrd::start(ServerHost& host, UniqueFd socket) {
    if (!host.takeUnattachedSlot()) return;  // the socket closes here
    std::shared_ptr<TSOutThrd> self;
    try {
        self.reset(new TSOutThrd(host, std::move(socket)));
    } catch (...) {
        host.releaseUnattachedSlot();
        throw;
    }
    self->m_holdsSlot = true;
    host.workerStarted(WorkerKind::OutputClient);
    try {
        std::thread([self]() mutable {
            ServerHost& host = self->m_host;
            self->run();
            if (self->m_registered || self->m_attached) {
                // A list could not be left: the object stays rather than leave it dangling.
                consolePrint(ConsoleStream::Err, "Kormlink: an output client could not leave "
                                                 "the client lists; its memory is kept");
                new std::shared_ptr<TSOutThrd>(std::move(self));
            }
            self.reset();
            host.workerEnded(WorkerKind::OutputClient);
        }).detach();
    } catch (...) {
        host.workerEnded(WorkerKind::OutputClient);
        self->releaseSlot();
        throw;
    }
}

void TSOutThrd::releaseSlot() {
    if (m_holdsSlot.exchange(false)) m_host.releaseUnattachedSlot();
}

TSOutThrd::TSOutThrd(ServerHost& host, UniqueFd socket) : m_host(host), Sock(std::move(socket)) {}

void TSOutThrd::requestStop() { m_stop.wake(); }

void TSOutThrd::run() {
    try {
        m_host.mainThread().call([&] {
            // Once a stop has begun no client is taken on: it would escape the stop.
            if (!m_host.acceptingConnections()) return;
            m_host.registerClient(this);
            m_registered = true;
        });
        if (m_registered) converse();
    } catch (const std::exception& e) {
        consolePrintf(ConsoleStream::Err, "Kormlink: output client %s ended by an error: %s\n",
                      m_ip.c_str(), e.what());
    } catch (...) {
        consolePrintf(ConsoleStream::Err, "Kormlink: output client %s ended by an error\n",
                      m_ip.c_str());
    }
    // Whatever ended the conversation, the client must not stay in any list; each end step
    // runs whatever the one before it did.
    if (m_attached) {
        try {
            detach();
        } catch (...) {
        }
    }
    if (m_registered) {
        try {
            m_host.mainThread().callEndStep([&] {
                m_host.unregisterClient(this);
                m_registered = false;
            });
        } catch (...) {
        }
    }
    releaseSlot();
    Sock.shutdownBoth();
    m_completion->set();
}

void TSOutThrd::converse() {
    tone(5000, 100);
    m_ip = Sock.peerAddress();
    const IniFile ini = m_host.readConfig();
    SyncPeriod = readClientSyncPeriod(ini);
    m_nextSync = m_host.clock().now() + SyncPeriod;
    if (!IsClientAllowed(ini, m_ip)) {
        tone(500, 500);
        tone(5000, 500);
        return;  // closed without a word and without a record
    }
    bool invalidLifeTime = false;
    m_lifetime = readLifeTime(ini, &invalidLifeTime);
    if (invalidLifeTime) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: [Opt] LifeTime \"%s\" is no time (h:mm); using 4:00\n",
                          ini.readString("Opt", "LifeTime", "").c_str());
    }

    send("Kormlink\r\n");
    std::string id;
    if (Sock.recvLine(id, kIdentifyTimeoutMs, &m_stop) != RecvStatus::Line) id.clear();
    m_host.mainThread().call([&] { Id = id; });
    if (!id.empty())
        writeLog(localeDateTimeTextOmitMidnight(m_host.localTime()) + " Open Id=" + id);

    attach();
    if (!Id.empty()) releaseSlot();  // attached: no longer counted against the cap
    if (Id.empty()) {
        writeLog(localeDateTimeTextOmitMidnight(m_host.localTime()) + " Close");
        for (int i = 0; i < kHoldSteps && pause(100); ++i) {
        }
        detach();
        return;
    }
    try {
        serveChannel();
    } catch (...) {
        detach();
        writeLog(localeDateTimeTextOmitMidnight(m_host.localTime()) + " Close Id=" + Id);
        throw;
    }
    detach();
    writeLog(localeDateTimeTextOmitMidnight(m_host.localTime()) + " Close Id=" + Id);
}

void TSOutThrd::serveChannel() {
    Millis idleSince = m_host.clock().now();
    std::string answer;
    std::uint64_t removeSeq = 0;  // an answered (or expired) line still to be removed
    // An acknowledged line is removed even when the loop ends before the next fetch.
    struct RemoveOnExit {
        TSOutThrd& self;
        std::uint64_t& seq;
        ~RemoveOnExit() {
            if (seq == 0) return;
            try {
                self.m_host.mainThread().call([&] {
                    if (tOList* list = self.m_host.channels();
                        list && list->RemoveLine(self.Id, seq))
                        self.m_host.MarkQueueChanged();
                });
            } catch (...) {
            }
        }
    } removeOnExit{*this, removeSeq};
    while (!m_stop.isSet()) {
        Millis now = m_host.clock().now();
        if (SyncPeriod > 0 && now > m_nextSync) {
            m_nextSync = now + SyncPeriod;
            send("systime" + formatDateTimeNumber(dateTimeNumber(m_host.localTime())) + "\r\n");
            Sock.recvLine(answer, kAnswerTimeoutMs, &m_stop);  // any outcome is fine
            if (m_stop.isSet()) return;
        }

        tOList::Head head;
        m_lineQueued.reset();  // a line queued after the fetch sets it again
        if (removeSeq != 0) {
            // Removing the answered line and fetching the next is one hand-over.
            m_host.mainThread().call([&] {
                if (tOList* list = m_host.channels()) {
                    if (list->RemoveLine(Id, removeSeq)) m_host.MarkQueueChanged();
                    head = list->FetchHead(Id);
                }
            });
            removeSeq = 0;
        } else {
            m_host.mainThread().call([&] {
                if (tOList* list = m_host.channels()) head = list->FetchHead(Id);
            });
        }

        if (!head.text.empty()) {
            idleSince = m_host.clock().now();
            if (!IsAlive(head.text, m_lifetime, m_host.localTime())) {
                removeSeq = head.seq;  // dropped unsent
                continue;
            }
            if (!send(head.text + "\r\n")) return;
            if (Sock.recvLine(answer, kAnswerTimeoutMs, &m_stop) != RecvStatus::Line) return;
            if (!answer.empty()) {
                removeSeq = head.seq;
                continue;  // acknowledged: the next line at once
            }
            if (!pause(kRetryPauseMs)) return;  // an empty answer: the same line again
            continue;
        }

        now = m_host.clock().now();
        if (now - idleSince >= kKeepAliveAfterMs) {
            idleSince = now;
            if (!send("@\r\n")) return;
            if (Sock.recvLine(answer, kAnswerTimeoutMs, &m_stop) != RecvStatus::Line) return;
            continue;
        }
        Millis wake = idleSince + kKeepAliveAfterMs;
        if (SyncPeriod > 0) wake = std::min(wake, m_nextSync + 1);
        waitForLine(std::max<Millis>(wake - now, 1));
        if (m_peerGone) return;
    }
}

void TSOutThrd::attach() {
    m_host.mainThread().call([&] {
        tOList* list = m_host.channels();
        tOItem* channel = (list && !Id.empty()) ? list->find(Id) : nullptr;
        tOHostList* clients = m_host.clientList();
        if (!channel || !clients) {
            Id.clear();
            return;
        }
        clients->add(this);
        try {
            channel->Signal.subscribe(&m_lineQueued);
        } catch (...) {
            clients->remove(this);
            throw;
        }
        m_attached = true;
        ++channel->Connected;
        m_host.ShowChannels();
    });
}

void TSOutThrd::detach() {
    // The lists first, the view last: a failing view must not leave the client in a list.
    m_host.mainThread().callEndStep([&] {
        tOList* list = m_host.channels();
        tOItem* channel = (list && !Id.empty()) ? list->find(Id) : nullptr;
        if (channel) channel->Signal.unsubscribe(&m_lineQueued);
        tOHostList* clients = m_host.clientList();
        if (!clients || !clients->remove(this)) tone(3000, 1);
        const bool counted = m_attached;
        m_attached = false;
        if (channel && counted && channel->Connected > 0) {
            --channel->Connected;
            m_host.ShowChannels();
        }
    });
}

void TSOutThrd::writeLog(const std::string& record) {
    m_host.mainThread().call([&] { m_host.logs().WriteConnectionLog(record); });
}

bool TSOutThrd::send(const std::string& text) { return Sock.sendAll(text, &m_stop); }

void TSOutThrd::waitForLine(Millis ms) {
    // The socket is watched only for the peer hanging up (POLLRDHUP), so a client that has gone
    // is noticed at once; text it sends meanwhile stays unread, as it would without the wait.
    pollfd fds[3] = {{m_stop.fd(), POLLIN, 0}, {m_lineQueued.fd(), POLLIN, 0},
                     {Sock.fd(), POLLRDHUP, 0}};
    if (::poll(fds, 3, static_cast<int>(std::min<Millis>(ms, INT32_MAX))) > 0 && fds[2].revents)
        m_peerGone = true;
}

bool TSOutThrd::pause(Millis ms) { return pauseUnlessWoken(m_stop.fd(), ms); }

}  // namespace kormlink
