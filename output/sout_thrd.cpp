#include "output/sout_thrd.h"

#include <poll.h>

#include <algorithm>
#include <cstdio>
#include <vector>
#include <exception>
#include <thread>

#include "core/main_thread.h"
#include "core/scope_exit.h"
#include "core/server_host.h"
#include "output/channels.h"
#include "output/client_access.h"
#include "output/client_list.h"
#include "platform/tone.h"
#include "core/daily_logs.h"
#include "core/event_line.h"
#include "platform/console_output.h"

namespace kormlink {

void TSOutThrd::start(ServerHost& host, UniqueFd socket, AddressSlot slot) {
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
        std::thread([self, slot = std::move(slot)]() mutable {
            ServerHost& host = self->m_host;
            self->run();
            if (self->m_registered || self->m_attached) {
                // A list could not be left: the object stays rather than leave it dangling.
                consolePrint(ConsoleStream::Err, "Kormlink: an output client could not leave "
                                                 "the client lists; its memory is kept");
                new std::shared_ptr<TSOutThrd>(std::move(self));
            }
            self.reset();
            slot.release();
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

TSOutThrd::TSOutThrd(ServerHost& host, UniqueFd socket)
    : m_host(host), Sock(std::move(socket), kMaxLine) {}

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
        ++m_host.counters().clientsNotAllowed;
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
    // The time-out bounds the whole line, so a client trickling bytes without CR LF is done
    // with after it too.
    if (Sock.recvLine(id, kIdentifyTimeoutMs, &m_stop) != RecvStatus::Line) id.clear();
    if (!IsUsableClientId(id)) {
        // Treated as naming no channel; the text itself goes nowhere, neither to the log nor
        // to the console, where it could forge records or terminal output.
        ++m_host.counters().clientIdsRefused;
        id.clear();
    }
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
    MainThread& main = m_host.mainThread();
    Millis idleSince = m_host.clock().now();
    std::string answer;
    // Lines from the head of the queue as the main thread last saw them. The client still
    // gets one line at a time, each removed only after its answer; but the next line is known
    // before the answer comes, so it goes out at once, and the answered lines are removed
    // (and the look-ahead renewed) by one hand-over for many lines, while the client reads.
    std::vector<tOList::Head> ahead;
    std::vector<tOList::Head> fetched;    // written by the hand-over below
    struct Removal {
        std::uint64_t seq;
        bool expired;  // outlived LifeTime unsent, rather than answered
    };
    std::vector<Removal> toRemove;  // answered (or expired) lines not yet handed over
    std::vector<Removal> removing;  // those the hand-over in flight removes
    MainThread::Handover fetch;           // after the buffers it writes: done before they go
    const auto taken = [&](std::uint64_t seq) {
        const auto same = [seq](const Removal& r) { return r.seq == seq; };
        return std::any_of(toRemove.begin(), toRemove.end(), same) ||
               std::any_of(removing.begin(), removing.end(), same);
    };
    const auto submitFetch = [&] {
        removing.swap(toRemove);
        toRemove.clear();
        main.submit(fetch, [&] {
            tOList* list = m_host.channels();
            if (!list) {
                fetched.clear();
                return;
            }
            bool removed = false;
            for (const Removal& r : removing)
                removed = list->RemoveLine(Id, r.seq, r.expired) || removed;
            if (removed) {
                m_host.MarkQueueChanged();
                // The removals are written when the connection goes on: the bound on what a
                // kill delivers again counts on that.
                main.releaseAfterBatch();
            }
            list->FetchHeads(Id, kLookAhead, fetched);
        });
    };
    const auto collect = [&] {
        if (!fetch.inFlight()) return;
        main.await(fetch);
        removing.clear();
        ahead.swap(fetched);
    };
    const auto fetchNow = [&] {
        collect();
        submitFetch();
        collect();
    };
    // The next line to send: the first looked-ahead line not answered yet; also counts the
    // looked-ahead lines behind it.
    std::size_t behind = 0;
    const auto next = [&]() -> const tOList::Head* {
        const tOList::Head* first = nullptr;
        behind = 0;
        for (const tOList::Head& head : ahead) {
            if (taken(head.seq)) continue;
            if (!first) {
                first = &head;
            } else {
                ++behind;
            }
        }
        return first;
    };
    // An answered line is removed even when the loop ends before the next hand-over.
    ScopeExit removeOnExit([&] {
        try {
            collect();
            if (!toRemove.empty()) {
                submitFetch();
                collect();
            }
        } catch (...) {
        }
    });

    std::string out;
    while (!m_stop.isSet()) {
        Millis now = m_host.clock().now();
        if (SyncPeriod > 0 && now > m_nextSync) {
            m_nextSync = now + SyncPeriod;
            send("systime" + formatDateTimeNumber(dateTimeNumber(m_host.localTime())) + "\r\n");
            ++m_host.counters().timeSyncsToClients;
            // Its answer is not looked at, but one that comes late would be read as the answer
            // to the next line and remove it undelivered: no answer in time ends the connection.
            if (Sock.recvLine(answer, kAnswerTimeoutMs, &m_stop) != RecvStatus::Line) return;
        }

        if (MainThread::isDone(fetch)) collect();
        // Answered lines whose removal is not written yet come again after a kill: never more
        // than kMaxUnremoved of them.
        if (toRemove.size() + removing.size() >= kMaxUnremoved) {
            collect();
            if (toRemove.size() >= kMaxUnremoved) fetchNow();
        }
        const tOList::Head* head = next();
        if (!head) {
            collect();  // a look-ahead on its way
            head = next();
        }
        if (!head) {
            // The look-ahead is used up: the channel's signal is cleared before the queue is
            // looked at, so a line queued after the look is not missed by the wait below.
            m_lineQueued.reset();
            fetchNow();
            head = next();
        }

        if (head) {
            idleSince = m_host.clock().now();
            if (!IsAlive(head->text, m_lifetime, m_host.localTime())) {
                toRemove.push_back({head->seq, true});  // dropped unsent
                continue;
            }
            out.assign(head->text);
            out.append("\r\n");
            const std::uint64_t seq = head->seq;
            Sock.discardBuffered();  // a doubled answer must not acknowledge this line
            if (!send(out)) return;
            // While the client reads and answers, the main thread removes what was answered
            // before and looks ahead, once half the look-ahead is used up.
            if (!fetch.inFlight() &&
                (behind < kLookAhead / 2 || toRemove.size() >= kLookAhead / 2))
                submitFetch();
            if (Sock.recvLine(answer, kAnswerTimeoutMs, &m_stop) != RecvStatus::Line) return;
            if (!answer.empty()) {
                toRemove.push_back({seq, false});
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
