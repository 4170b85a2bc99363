#include "output/sout_thrd.h"

#include <sys/epoll.h>

#include <algorithm>
#include <cerrno>
#include <exception>
#include <system_error>
#include <utility>

#include "core/daily_logs.h"
#include "core/main_thread.h"
#include "core/server_host.h"
#include "output/client_access.h"
#include "output/client_list.h"
#include "platform/console_output.h"
#include "platform/local_time.h"
#include "platform/tone.h"

namespace kormlink {

void TSOutThrd::start(ServerHost& host, UniqueFd socket, AddressSlot slot) {
    if (!host.takeUnattachedSlot()) return;  // the socket closes here
    std::shared_ptr<TSOutThrd> self;
    try {
        EventLoop& loop = host.connectionLoop();
        self.reset(new TSOutThrd(host, std::move(socket), loop));
    } catch (...) {
        host.releaseUnattachedSlot();
        throw;
    }
    self->m_holdsSlot = true;
    self->m_slot = std::move(slot);
    self->m_self = self;
    host.workerStarted(WorkerKind::OutputClient);
    bool posted = false;
    try {
        posted = self->m_loop.post([self] { self->guarded([&] { self->begin(); }); });
    } catch (...) {
    }
    if (!posted) {
        self->m_self.reset();
        self->releaseSlot();
        self->m_slot.release();
        host.workerEnded(WorkerKind::OutputClient);
        throw std::system_error(std::make_error_code(std::errc::operation_canceled),
                                "the connection loops have ended");
    }
}

TSOutThrd::TSOutThrd(ServerHost& host, UniqueFd socket, EventLoop& loop)
    : m_host(host), m_loop(loop), Sock(std::move(socket), kMaxLine) {
    // The settings are read here, on the acceptor's thread: a file read has no place on a loop.
    m_ip = Sock.peerAddress();
    const IniFile ini = host.readConfig();
    SyncPeriod = readClientSyncPeriod(ini);
    m_allowed = IsClientAllowed(ini, m_ip);
    bool invalidLifeTime = false;
    m_lifetime = readLifeTime(ini, &invalidLifeTime);
    if (invalidLifeTime) m_invalidLifeTime = ini.readString("Opt", "LifeTime", "");
    m_lifeTimeInvalid = invalidLifeTime;
}

void TSOutThrd::releaseSlot() {
    if (m_holdsSlot.exchange(false)) m_host.releaseUnattachedSlot();
}

void TSOutThrd::requestStop() {
    m_stopRequested.store(true);
    std::shared_ptr<TSOutThrd> self = weak_from_this().lock();
    if (!self) return;
    try {
        m_loop.post([self] { self->guarded([&] { self->onStop(); }); });
    } catch (...) {
        // Out of memory: the connection sees the stop at its next step, within seconds.
    }
}

// ---- Loop thread ----

template <typename F>
void TSOutThrd::guarded(F&& step) {
    try {
        step();
    } catch (const std::exception& e) {
        failed(e.what());
    } catch (...) {
        failed(nullptr);
    }
}

void TSOutThrd::failed(const char* what) {
    if (what) {
        consolePrintf(ConsoleStream::Err, "Kormlink: output client %s ended by an error: %s\n",
                      m_ip.c_str(), what);
    } else {
        consolePrintf(ConsoleStream::Err, "Kormlink: output client %s ended by an error\n",
                      m_ip.c_str());
    }
    end();
}

void TSOutThrd::begin() {
    // Readable, writable (the outbox) and the peer's hang-up, all edge-triggered.
    if (!m_loop.add(Sock.fd(), this, EPOLLIN | EPOLLOUT | EPOLLRDHUP)) {
        consolePrintf(ConsoleStream::Err,
                      "Kormlink: an output client could not be served (epoll: errno %d)\n", errno);
        return end();
    }
    m_inLoop = true;
    m_phase = Phase::Registering;
    m_host.mainThread().post([self = m_self] { self->registerOnMain(); });
}

void TSOutThrd::registered() {
    if (m_phase == Phase::Ending) return;  // ended meanwhile (a failed send)
    if (m_failed || !m_registered) return end();
    // tone() never waits: headless it does nothing, the window only queues a beep.
    tone(5000, 100);
    m_nextSync = m_host.clock().now() + SyncPeriod;
    if (!m_allowed) {
        ++m_host.counters().clientsNotAllowed;
        tone(500, 500);
        tone(5000, 500);
        return end();  // closed without a word and without a record
    }
    if (m_lifeTimeInvalid) {
        static std::atomic<bool> reported{false};
        if (!reported.exchange(true))
            consolePrintf(ConsoleStream::Err,
                          "Kormlink: [Opt] LifeTime \"%s\" is no time (h:mm); using 4:00\n",
                          m_invalidLifeTime.c_str());
    }
    m_phase = Phase::Identifying;
    send("Kormlink\r\n");  // a peer already gone shows in the read
    m_outboxIsGreeting = !m_outbox.empty();
    // The time-out bounds the whole line, so a client trickling bytes without CR LF is done
    // with after it too.
    startRead(kIdentifyTimeoutMs);
    readId();
}

void TSOutThrd::readId() {
    // A stop (even one that came while the main thread had the connection) ends the wait as
    // if the time were up.
    if (m_stopRequested.load()) return identified({});
    if (m_readBy == 0) return armTimer();  // the greeting has not left yet
    std::string line;
    const RecvStatus status = takeLine(line);
    if (status == RecvStatus::Timeout) return armTimer();
    if (status != RecvStatus::Line) line.clear();
    identified(std::move(line));
}

void TSOutThrd::identified(std::string id) {
    m_readBy = 0;
    m_readPending = false;
    if (!IsUsableClientId(id)) {
        // Treated as naming no channel; the text itself goes nowhere, neither to the log nor
        // to the console, where it could forge records or terminal output.
        ++m_host.counters().clientIdsRefused;
        id.clear();
    }
    m_phase = Phase::Attaching;
    armTimer();  // only the send time-out may still run
    m_host.mainThread().post([self = m_self, id = std::move(id)] { self->attachOnMain(id); });
}

void TSOutThrd::attached() {
    if (m_phase == Phase::Ending) return;  // ended meanwhile (a failed send)
    if (m_failed) return end();
    if (!Id.empty()) releaseSlot();  // attached: no longer counted against the cap
    if (Id.empty()) {
        // Held for kHoldSteps x 100 ms, then closed; the socket is not looked at meanwhile.
        if (m_stopRequested.load()) return end();
        m_phase = Phase::Holding;
        m_wakeAt = steadyClock().now() + kHoldSteps * Millis{100};
        return armTimer();
    }
    m_phase = Phase::Serving;
    m_idleSince = m_host.clock().now();
    serve(Resume::Top);
}

const tOList::Head* TSOutThrd::next() {
    const tOList::Head* first = nullptr;
    m_behind = 0;
    for (const tOList::Head& head : m_ahead) {
        if (taken(head.seq)) continue;
        if (!first) {
            first = &head;
        } else {
            ++m_behind;
        }
    }
    return first;
}

bool TSOutThrd::taken(std::uint64_t seq) const {
    const auto same = [seq](const Removal& r) { return r.seq == seq; };
    return std::any_of(m_toRemove.begin(), m_toRemove.end(), same) ||
           std::any_of(m_removing.begin(), m_removing.end(), same);
}

void TSOutThrd::serve(Resume resume) {
    m_wait = Wait::None;
    // Each round sends something and waits for its answer, waits for a fetch or a wake-up, or
    // drops an expired line; a round that goes on at once (an answer already received, or an
    // expired line) leads to a fetch within kMaxUnremoved rounds.
    for (;; resume = Resume::Top) {
        if (m_stopRequested.load()) return end();
        Millis now = m_host.clock().now();
        if (resume == Resume::Top && SyncPeriod > 0 && now > m_nextSync) {
            m_nextSync = now + SyncPeriod;
            if (!send("systime" + formatDateTimeNumber(dateTimeNumber(m_host.localTime())) +
                      "\r\n"))
                return end();
            ++m_host.counters().timeSyncsToClients;
            // Its answer is not looked at, but one that comes late would be read as the answer
            // to the next line and remove it undelivered: no answer in time ends the connection.
            awaitAnswer(Answer::Sync);
            if (!takeAnswer()) return;
            continue;
        }

        // Answered lines whose removal is not written yet come again after a kill: never more
        // than kMaxUnremoved of them.
        if (m_toRemove.size() + m_removing.size() >= kMaxUnremoved) {
            if (m_fetching) return awaitFetch(Resume::AfterFetch);
            if (m_toRemove.size() >= kMaxUnremoved) {
                submitFetch();
                return awaitFetch(Resume::AfterFetch);
            }
        }
        const tOList::Head* head = next();
        if (!head && m_fetching) return awaitFetch(Resume::AfterFetch);  // a look-ahead on its way
        if (!head && resume != Resume::AfterLook) {
            // The look-ahead is used up: the channel's flag is cleared before the queue is
            // looked at, so a line queued after the look is not missed by the idle wait.
            m_lineQueued.store(false);
            submitFetch();
            return awaitFetch(Resume::AfterLook);
        }

        if (head) {
            m_idleSince = m_host.clock().now();
            if (!IsAlive(head->text, m_lifetime, m_host.localTime())) {
                m_toRemove.push_back({head->seq, true});  // dropped unsent
                continue;
            }
            m_sending = head->seq;
            std::string out;
            out.reserve(head->text.size() + 2);
            out.append(head->text).append("\r\n");
            Sock.discardBuffered();  // a doubled answer must not acknowledge this line
            if (!send(out)) return end();
            // While the client reads and answers, the main thread removes what was answered
            // before and looks ahead, once half the look-ahead is used up.
            if (!m_fetching &&
                (m_behind < kLookAhead / 2 || m_toRemove.size() >= kLookAhead / 2))
                submitFetch();
            awaitAnswer(Answer::Line);
            if (!takeAnswer()) return;
            continue;  // acknowledged: the next line at once
        }

        now = m_host.clock().now();
        if (now - m_idleSince >= kKeepAliveAfterMs) {
            m_idleSince = now;
            if (!send("@\r\n")) return end();
            awaitAnswer(Answer::KeepAlive);
            if (!takeAnswer()) return;
            continue;
        }
        if (m_peerGone) return end();
        if (m_lineQueued.load()) continue;  // queued since the look: look again
        // Idle: the look-ahead is empty, so its storage goes; the wait ends with the channel's
        // news of a line, the keep-alive or the sync falling due, the peer's hang-up or a stop.
        std::vector<tOList::Head>().swap(m_ahead);
        std::vector<tOList::Head>().swap(m_fetched);
        if (m_toRemove.empty()) std::vector<Removal>().swap(m_toRemove);
        if (m_removing.empty()) std::vector<Removal>().swap(m_removing);
        Millis wake = m_idleSince + kKeepAliveAfterMs;
        if (SyncPeriod > 0) wake = std::min(wake, m_nextSync + 1);
        m_wait = Wait::Idle;
        m_wakeAt = steadyClock().now() + std::max<Millis>(wake - now, 1);
        return armTimer();
    }
}

RecvStatus TSOutThrd::takeLine(std::string& line) {
    RecvStatus status = Sock.takeLine(line);
    // The socket is read again only after an edge. A hang-up is reported once, with the bytes
    // that came before it: once they are read, the end behind them brings no edge of its own,
    // so it is read at once. A few reads get there (the cap ends a longer stream).
    for (int i = 0; i < 4 && m_peerGone && status == RecvStatus::Timeout; ++i) {
        Sock.noteReadable();
        status = Sock.takeLine(line);
    }
    return status;
}

void TSOutThrd::awaitAnswer(Answer kind) {
    m_wait = Wait::Answer;
    m_answer = kind;
    startRead(kAnswerTimeoutMs);
}

bool TSOutThrd::takeAnswer() {
    if (m_readBy == 0) {  // what it answers has not left yet
        armTimer();
        return false;
    }
    std::string line;
    const RecvStatus status = takeLine(line);
    if (status == RecvStatus::Timeout) {
        armTimer();
        return false;
    }
    m_readBy = 0;
    m_wait = Wait::None;
    if (status != RecvStatus::Line) {
        end();
        return false;
    }
    if (m_answer == Answer::Line) {
        if (line.empty()) {
            // An empty answer: the same line again, after a short pause.
            m_wait = Wait::RetryPause;
            m_wakeAt = steadyClock().now() + kRetryPauseMs;
            armTimer();
            return false;
        }
        m_toRemove.push_back({m_sending, false});
    }
    return true;
}

void TSOutThrd::awaitFetch(Resume resume) {
    m_wait = Wait::Fetch;
    m_resume = resume;
    armTimer();
}

void TSOutThrd::submitFetch() {
    m_removing.swap(m_toRemove);
    m_toRemove.clear();
    m_fetching = true;
    try {
        m_host.mainThread().post([self = m_self] { self->fetchOnMain(self); });
    } catch (...) {
        m_fetching = false;
        throw;
    }
}

void TSOutThrd::fetched() {
    m_fetching = false;
    if (m_phase != Phase::Serving) return;  // ended meanwhile: the end has what is left
    m_removing.clear();
    m_ahead.swap(m_fetched);
    if (m_fetchFailed) return end();
    if (m_wait == Wait::Fetch) serve(m_resume);
}

void TSOutThrd::onStop() {
    switch (m_phase) {
        case Phase::Identifying: return identified({});
        case Phase::Holding:
        case Phase::Serving: return end();
        default: return;  // the main thread has it, or it has begun to end: seen when back
    }
}

void TSOutThrd::onLineQueued() {
    if (m_phase != Phase::Serving || m_wait != Wait::Idle) return;
    m_wakeAt = 0;
    serve(Resume::Top);
}

void TSOutThrd::onEvents(std::uint32_t events) {
    // The loop calls with a bare pointer: the end may drop the last other hold meanwhile.
    const std::shared_ptr<TSOutThrd> hold = m_self;
    guarded([&] {
        if (m_phase == Phase::Ending) return;
        // The socket is read again only after an edge; one that comes while the connection is
        // not reading (idle, pausing, or the main thread has it) counts for the next read.
        if (events & ~std::uint32_t{EPOLLOUT}) Sock.noteReadable();
        // Kept until the idle wait looks: a hang-up that comes while a line is out is found by
        // the read of its answer, one that comes while idle ends the wait at once.
        if (events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR)) m_peerGone = true;
        if ((events & EPOLLOUT) && !m_outbox.empty()) {
            flushOutbox();
            if (m_phase == Phase::Ending) return;
        }
        switch (m_phase) {
            case Phase::Identifying: return readId();
            case Phase::Serving:
                if (m_wait == Wait::Answer) {
                    if (takeAnswer()) serve(Resume::Top);
                } else if (m_wait == Wait::Idle && m_peerGone) {
                    end();
                }
                return;
            default: return;  // text sent meanwhile stays unread, as it would without the loop
        }
    });
}

void TSOutThrd::onLoopStopped() {
    // Only when the server went away without stopping its clients first: nothing can be
    // handed over any more. The socket closes; the lists keep the object (never dangling).
    m_loop.cancel(m_timer);
    if (m_inLoop) m_loop.remove(Sock.fd(), this);
    m_inLoop = false;
    Sock.shutdownBoth();
    m_phase = Phase::Ending;
}

void TSOutThrd::onTimer() {
    const std::shared_ptr<TSOutThrd> hold = m_self;  // as in onEvents()
    guarded([&] {
        if (m_phase == Phase::Ending) return postFinish();  // the last steps, tried again
        const Millis now = steadyClock().now();
        if (!m_outbox.empty() && now - m_outboxSince >= TcpSocket::kSendTimeoutMs) {
            sendFailed();  // the peer has not read for the whole send time-out
            if (m_phase == Phase::Ending) return;
        }
        if (m_readBy != 0 && now >= m_readBy) {
            const Millis by = m_readBy;
            // A line that came with the deadline still counts.
            if (m_phase == Phase::Identifying) {
                readId();
            } else if (m_phase == Phase::Serving && m_wait == Wait::Answer && takeAnswer()) {
                return serve(Resume::Top);
            }
            if (m_phase == Phase::Ending || m_readBy != by) return;
            m_readBy = 0;
            if (m_phase == Phase::Identifying) return identified({});
            return end();  // no answer in time
        }
        if (m_wakeAt != 0 && now >= m_wakeAt) {
            m_wakeAt = 0;
            if (m_phase == Phase::Holding) return end();
            if (m_phase == Phase::Serving) return serve(Resume::Top);  // the pause or idle wait
        }
        armTimer();
    });
}

void TSOutThrd::armTimer() {
    if (m_phase == Phase::Ending) return;
    Millis at = 0;
    const auto earliest = [&at](Millis t) {
        if (t != 0 && (at == 0 || t < at)) at = t;
    };
    if (!m_outbox.empty()) earliest(m_outboxSince + TcpSocket::kSendTimeoutMs);
    earliest(m_readBy);
    earliest(m_wakeAt);
    if (at == 0) {
        m_loop.cancel(m_timer);
    } else {
        m_loop.arm(m_timer, at);
    }
}

void TSOutThrd::startRead(Millis ms) {
    if (m_outbox.empty()) {
        m_readPending = false;
        m_readBy = steadyClock().now() + ms;
        return;
    }
    // The time for the answer begins when what it answers has left.
    m_readPending = true;
    m_readWithin = ms;
    m_readBy = 0;
}

void TSOutThrd::outboxEmptied() {
    if (!m_readPending) return;
    m_readPending = false;
    m_readBy = steadyClock().now() + m_readWithin;
}

bool TSOutThrd::send(std::string_view text) {
    if (!m_outbox.empty()) {
        m_outbox.append(text);
        m_outboxIsGreeting = false;
        return true;
    }
    const long sent = Sock.trySend(text);
    if (sent < 0) return false;
    if (static_cast<std::size_t>(sent) < text.size()) {
        m_outbox.assign(text.substr(static_cast<std::size_t>(sent)));
        m_outboxSince = steadyClock().now();
    }
    return true;
}

void TSOutThrd::flushOutbox() {
    const long sent = Sock.trySend(m_outbox);
    if (sent < 0) return sendFailed();
    m_outbox.erase(0, static_cast<std::size_t>(sent));
    if (!m_outbox.empty()) return;
    std::string().swap(m_outbox);
    m_outboxIsGreeting = false;
    outboxEmptied();
}

void TSOutThrd::sendFailed() {
    std::string().swap(m_outbox);
    if (!std::exchange(m_outboxIsGreeting, false)) return end();
    outboxEmptied();
}

void TSOutThrd::end() {
    if (m_phase == Phase::Ending) return;
    m_phase = Phase::Ending;
    m_wait = Wait::None;
    m_readBy = 0;
    m_wakeAt = 0;
    m_loop.cancel(m_timer);
    if (m_inLoop) m_loop.remove(Sock.fd(), this);
    m_inLoop = false;
    std::string().swap(m_outbox);
    postFinish();
}

void TSOutThrd::postFinish() {
    if (!m_self) return;
    try {
        m_host.mainThread().post([self = m_self]() mutable { self->finishOnMain(std::move(self)); });
        m_self.reset();
    } catch (...) {
        // No memory for the hand-over: tried again every 10 ms for 10 s, as an end step is.
        if (++m_finishTries < 1000) {
            m_loop.arm(m_timer, steadyClock().now() + 10);
        } else {
            consolePrint(ConsoleStream::Err, "Kormlink: an output client could not end; its "
                                             "memory is kept");
        }
    }
}

// ---- Main thread ----

void TSOutThrd::reportOnMain(std::exception_ptr error) {
    try {
        std::rethrow_exception(error);
    } catch (const std::exception& e) {
        consolePrintf(ConsoleStream::Err, "Kormlink: output client %s ended by an error: %s\n",
                      m_ip.c_str(), e.what());
    } catch (...) {
        consolePrintf(ConsoleStream::Err, "Kormlink: output client %s ended by an error\n",
                      m_ip.c_str());
    }
}

void TSOutThrd::backToLoop(void (TSOutThrd::*step)()) {
    std::shared_ptr<TSOutThrd> self = shared_from_this();
    m_loop.post([self, step] { self->guarded([&] { (self.get()->*step)(); }); });
}

void TSOutThrd::registerOnMain() {
    try {
        // Once a stop has begun no client is taken on: it would escape the stop.
        if (m_host.acceptingConnections()) {
            m_host.registerClient(this);
            m_registered = true;
        }
    } catch (...) {
        reportOnMain(std::current_exception());
        m_failed = true;
    }
    backToLoop(&TSOutThrd::registered);
}

void TSOutThrd::attachOnMain(const std::string& id) {
    try {
        Id = id;
        if (!id.empty())
            writeLog(localeDateTimeTextOmitMidnight(m_host.localTime()) + " Open Id=" + id);
        attach();
        m_serving = !Id.empty();
        if (Id.empty()) writeLog(localeDateTimeTextOmitMidnight(m_host.localTime()) + " Close");
        m_detachDue = true;
    } catch (...) {
        reportOnMain(std::current_exception());
        m_failed = true;
    }
    backToLoop(&TSOutThrd::attached);
}

void TSOutThrd::attach() {
    tOList* list = m_host.channels();
    tOItem* channel = (list && !Id.empty()) ? list->find(Id) : nullptr;
    tOHostList* clients = m_host.clientList();
    if (!channel || !clients) {
        Id.clear();
        return;
    }
    clients->add(this);
    try {
        channel->Signal.subscribe(this);
    } catch (...) {
        clients->remove(this);
        throw;
    }
    m_attached = true;
    ++channel->Connected;
    m_host.ShowChannels();
}

void TSOutThrd::lineQueued() noexcept {
    // One wake-up at a time: the loop clears the flag before it looks at the queue again.
    if (m_lineQueued.exchange(true)) return;
    try {
        if (std::shared_ptr<TSOutThrd> self = weak_from_this().lock())
            m_loop.post([self] { self->guarded([&] { self->onLineQueued(); }); });
    } catch (...) {
        // Out of memory: the idle wait still ends with the keep-alive, and then looks.
    }
}

void TSOutThrd::fetchOnMain(const std::shared_ptr<TSOutThrd>& self) {
    MainThread& main = m_host.mainThread();
    bool removed = false;
    try {
        tOList* list = m_host.channels();
        if (!list) {
            m_fetched.clear();
        } else {
            for (const Removal& r : m_removing)
                removed = list->RemoveLine(Id, r.seq, r.expired) || removed;
            if (removed) m_host.MarkQueueChanged();
            list->FetchHeads(Id, kLookAhead, m_fetched);
        }
    } catch (...) {
        reportOnMain(std::current_exception());
        m_fetchFailed = true;
    }
    const auto back = [self] {
        self->m_loop.post([self] { self->guarded([&] { self->fetched(); }); });
    };
    // The removals are written when the connection goes on: the bound on what a kill
    // delivers again counts on that.
    if (removed) {
        try {
            main.releaseAfterBatch(back);
            return;
        } catch (...) {
        }
    }
    back();
}

void TSOutThrd::finishOnMain(std::shared_ptr<TSOutThrd> self) {
    // An answered line is removed even when the connection ends before the next fetch.
    if (!m_toRemove.empty()) {
        try {
            bool removed = false;
            if (tOList* list = m_host.channels())
                for (const Removal& r : m_toRemove)
                    removed = list->RemoveLine(Id, r.seq, r.expired) || removed;
            if (removed) m_host.MarkQueueChanged();
        } catch (...) {
        }
    }
    if (m_serving) {
        // The last steps follow the journal write of the removals, this one's and those of a
        // fetch that was still on its way.
        try {
            m_host.mainThread().releaseAfterBatch(
                [self]() mutable { self->lastSteps(std::move(self)); });
            return;
        } catch (...) {
        }
    }
    lastSteps(std::move(self));
}

void TSOutThrd::lastSteps(std::shared_ptr<TSOutThrd> self) {
    ServerHost& host = m_host;
    // Whatever ended the conversation, the client must not stay in any list; each step runs
    // whatever the one before it did.
    if (m_detachDue || m_attached) {
        try {
            detach();
        } catch (...) {
        }
    }
    if (m_serving) {
        try {
            writeLog(localeDateTimeTextOmitMidnight(m_host.localTime()) + " Close Id=" + Id);
        } catch (...) {
        }
    }
    if (m_registered) {
        try {
            m_host.unregisterClient(this);
            m_registered = false;
        } catch (...) {
        }
    }
    releaseSlot();
    Sock.shutdownBoth();
    m_completion->set();
    if (m_registered || m_attached) {
        // A list could not be left: the object stays rather than leave it dangling.
        consolePrint(ConsoleStream::Err, "Kormlink: an output client could not leave "
                                         "the client lists; its memory is kept");
        new std::shared_ptr<TSOutThrd>(self);
    }
    AddressSlot slot = std::move(m_slot);
    // The object goes on its loop, after the turn in which its socket left the loop's epoll
    // (events for it may still have been taken then). A loop that has ended drops it here.
    try {
        EventLoop& loop = m_loop;
        loop.post([self = std::move(self)] {});
    } catch (...) {
    }
    slot.release();
    host.workerEnded(WorkerKind::OutputClient);
}

void TSOutThrd::detach() {
    // The lists first, the view last: a failing view must not leave the client in a list.
    tOList* list = m_host.channels();
    tOItem* channel = (list && !Id.empty()) ? list->find(Id) : nullptr;
    if (channel) channel->Signal.unsubscribe(this);
    tOHostList* clients = m_host.clientList();
    if (!clients || !clients->remove(this)) tone(3000, 1);
    const bool counted = m_attached;
    m_attached = false;
    if (channel && counted && channel->Connected > 0) {
        --channel->Connected;
        m_host.ShowChannels();
    }
}

void TSOutThrd::writeLog(const std::string& record) { m_host.logs().WriteConnectionLog(record); }

}  // namespace kormlink
