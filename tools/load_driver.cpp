#include "load_driver.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <ctime>
#include <limits>
#include <map>
#include <mutex>
#include <queue>
#include <random>
#include <string_view>
#include <thread>
#include <vector>

#include "mqtt.h"
#include "platform/tcp.h"
#include "platform/unique_fd.h"
#include "sim_line.h"
#include "sim_loop.h"

namespace kormlink::sim {
namespace {

constexpr Millis kBackoffFirstMs = 100;
constexpr Millis kBackoffMaxMs = 2000;
constexpr Millis kLoopTickMs = 50;             // longest epoll wait: stop requests
constexpr std::size_t kMaxLine = 16 * 1024;    // an unfinished line from the relay
constexpr std::size_t kMaxInput = 256 * 1024;  // read before the input is looked at
constexpr std::size_t kMaxOutput = 1 << 20;    // unsent bytes before the peer counts as stuck
constexpr std::string_view kRepeaterGreeting = "QX7310kv";
constexpr std::size_t kMaxReasons = 16;  // distinct reasons of connect retries kept
constexpr std::uint32_t kWakerIndex = std::numeric_limits<std::uint32_t>::max();

bool startsWith(std::string_view s, std::string_view prefix) {
    return s.substr(0, prefix.size()) == prefix;
}

enum class Phase { Down, Connecting, Welcome, Subscribing, Running, Gone };

struct Conn {
    std::uint32_t local = 0;  // index within its worker
    int index = 0;            // index over all workers
    std::uint32_t id = 0;     // the repeater Id in its event lines
    UniqueFd fd;
    Phase phase = Phase::Down;
    bool writeWanted = false;
    bool greetingSeen = false;  // Kormlink sending: the greeting came, the time command not yet
    bool everGreeted = false;
    std::string in, out;
    Millis firstConnectAt = -1;
    Millis deadline = 0;  // of the connect and greeting, or of the answer
    Millis reconnectAt = 0;
    Millis backoff = kBackoffFirstMs;
    std::uint64_t seq = 0;  // the last message made
    bool pending = false;   // seq made and not answered yet
    bool inFlight = false;  // ... and sent on this connection
    int transmissions = 0;
    std::uint16_t packetId = 0;
    double nextSendAt = 0;
    bool finished = false;
    Millis scheduledAt = -1;  // its entry in the schedule; -1 none
};

void atomicMax(std::atomic<Millis>& a, Millis v) {
    Millis seen = a.load();
    while (v > seen && !a.compare_exchange_weak(seen, v)) {
    }
}

}  // namespace

struct LoadDriver::Impl {
    LoadPlan plan;
    Millis startedAt = 0;
    std::atomic<bool> stopRequested{false};
    std::atomic<Millis> drainMs{0};

    std::atomic<std::uint64_t> sent{0}, acked{0}, resent{0}, connectRetries{0}, broken{0},
        answerTimeouts{0};
    std::atomic<int> greeted{0}, greetedEver{0}, finished{0};
    std::atomic<Millis> slowestGreeting{-1}, allGreeted{-1}, allAnswered{-1};
    mutable std::mutex errorMutex;
    std::string lastError;
    std::map<std::string, std::uint64_t> retryReasons;  // at most kMaxReasons

    std::atomic<Millis> recordFrom{std::numeric_limits<Millis>::max()};
    mutable std::mutex latencyMutex;
    LatencyHistogram latency;

    struct Worker;
    std::vector<std::unique_ptr<Worker>> workers;

    explicit Impl(LoadPlan p) : plan(std::move(p)) {}

    void noteError(const std::string& text, bool retry) {
        std::lock_guard lock(errorMutex);
        lastError = text;
        if (!retry) return;
        if (retryReasons.size() < kMaxReasons || retryReasons.count(text))
            ++retryReasons[text];
        else
            ++retryReasons["other"];
    }
};

// One thread's share of the connections.
struct LoadDriver::Impl::Worker {
    Impl& d;
    const LoadPlan& plan;
    std::vector<Conn> conns;
    UniqueFd epoll;
    Waker waker;
    std::thread thread;
    sim::WakeSchedule<Conn> schedule;
    int outstanding = 0;  // connections with a message in flight
    bool draining = false;
    Millis drainDeadline = 0;
    std::mt19937 rng{std::random_device{}()};
    sim::StampCache stamp;
    sockaddr_in address{};

    explicit Worker(Impl& impl) : d(impl), plan(impl.plan) {}

    bool mqtt() const { return plan.flavour == LoadFlavour::Mqtt; }
    double intervalMs() const { return plan.rate > 0 ? 1000.0 / plan.rate : 0; }
    bool moreToSend(const Conn& c) const {
        return !plan.receiver && (plan.perConnection == 0 || c.seq < plan.perConnection);
    }

    // ---- the loop ----------------------------------------------------------------------

    void run() {
        const Millis start = d.startedAt;
        std::uniform_real_distribution<double> spread(0.0, 1.0);
        for (Conn& c : conns) {
            // At a rate, the first messages are spread over one period so that the
            // connections do not all send in the same millisecond.
            c.nextSendAt = static_cast<double>(start) + spread(rng) * intervalMs();
            c.reconnectAt = start;
            reschedule(c, start);
        }
        for (;;) {
            const Millis now = schedule.waitForIo(epoll.get(), kWakerIndex, kLoopTickMs, conns,
                                                  [&](Conn& c, std::uint32_t events, Millis at) {
                                                      onIo(c, events, at);
                                                      reschedule(c, at);
                                                  });
            if (waker.isSet()) waker.reset();
            schedule.runDue(now, conns, [&](Conn& c) {
                service(c, now);
                schedule.setAfterService(c, c.local, nextWake(c, now), now);
            });
            if (d.stopRequested.load() && !draining) {
                draining = true;
                drainDeadline = now + d.drainMs.load();
            }
            if (draining && (now >= drainDeadline || outstanding == 0)) break;
        }
        for (Conn& c : conns) closeSocket(c);
    }

    void reschedule(Conn& c, Millis now) { schedule.set(c, c.local, nextWake(c, now)); }

    // The earliest time at which service() has something to do for c; -1 for never.
    Millis nextWake(const Conn& c, Millis now) const {
        switch (c.phase) {
            case Phase::Down:
                return draining ? -1 : c.reconnectAt;
            case Phase::Gone:
                return -1;
            case Phase::Connecting:
            case Phase::Welcome:
            case Phase::Subscribing:
                return c.deadline;
            case Phase::Running:
                break;
        }
        if (plan.receiver) return -1;
        if (c.inFlight) return c.deadline;
        if (draining) return -1;
        if (c.pending) return now;
        if (!moreToSend(c)) return -1;
        return std::max(now, static_cast<Millis>(std::ceil(c.nextSendAt)));
    }

    void service(Conn& c, Millis now) {
        switch (c.phase) {
            case Phase::Down:
                if (!draining && now >= c.reconnectAt) openConnection(c, now);
                return;
            case Phase::Gone:
                return;
            case Phase::Connecting:
            case Phase::Welcome:
            case Phase::Subscribing:
                if (now >= c.deadline)
                    drop(c, now,
                         std::string(c.phase == Phase::Connecting ? "connect() not done"
                                                                  : "no greeting") +
                             " within " + std::to_string(plan.connectTimeoutMs / 1000) + " s");
                return;
            case Phase::Running:
                break;
        }
        if (plan.receiver) return;
        if (c.inFlight) {
            if (now < c.deadline) return;
            ++d.answerTimeouts;
            drop(c, now, "no answer in time");
            return;
        }
        if (draining) return;
        if (c.pending) {
            transmit(c, now);
            return;
        }
        if (!moreToSend(c) || static_cast<double>(now) < c.nextSendAt) return;
        const double interval = intervalMs();
        c.nextSendAt += interval;
        // A connection that fell behind (slow answers) does not burst to catch up.
        if (c.nextSendAt < static_cast<double>(now) - interval)
            c.nextSendAt = static_cast<double>(now);
        ++c.seq;
        c.pending = true;
        c.transmissions = 0;
        transmit(c, now);
    }

    // ---- sending -----------------------------------------------------------------------

    void transmit(Conn& c, Millis now) {
        ++(c.transmissions == 0 ? d.sent : d.resent);
        ++c.transmissions;
        c.inFlight = true;
        ++outstanding;
        c.deadline = now + plan.answerTimeoutMs;
        // Distinct transmitter Ids (the repeater's low twelve bits): the relay forwards the
        // same radio event heard by two repeaters once, and these are different events.
        std::string payload = eventLine(c.id, static_cast<std::uint32_t>(c.seq), wallUs32(), 0, '1',
                                        c.id & 0xFFF, stamp.now());
        payload += "\r\n";
        if (mqtt()) {
            c.packetId = static_cast<std::uint16_t>(c.packetId % 65535 + 1);
            c.out += mqtt::publish(plan.channel, c.packetId, payload, c.transmissions > 1);
        } else {
            c.out += payload;
        }
        flush(c, now);
    }

    void answered(Conn& c, Millis now) {
        c.inFlight = false;
        c.pending = false;
        --outstanding;
        ++d.acked;
        if (plan.perConnection > 0 && c.seq >= plan.perConnection && !c.finished) {
            c.finished = true;
            if (++d.finished == plan.connections) d.allAnswered = now - d.startedAt;
        }
    }

    // ---- receiving ---------------------------------------------------------------------

    // A message that reached a receiving connection: counted, and its latency recorded once
    // the warm-up is over.
    void received(std::string_view payload, Millis now) {
        ++d.acked;
        if (now < d.recordFrom.load()) return;
        while (!payload.empty() && (payload.back() == '\n' || payload.back() == '\r'))
            payload.remove_suffix(1);
        const auto event = parseEvent(payload);
        if (!event) return;
        const std::uint32_t us = latencyUs(event->sentUs, wallUs32());
        std::lock_guard lock(d.latencyMutex);
        d.latency.add(us);
    }

    // ---- connections -------------------------------------------------------------------

    void openConnection(Conn& c, Millis now) {
        if (c.firstConnectAt < 0) c.firstConnectAt = now;
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) return retryLater(c, now, std::string("socket: ") + std::strerror(errno));
        int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        const int rc =
            ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&address), sizeof address);
        if (rc != 0 && errno != EINPROGRESS)
            return retryLater(c, now, std::string("connect: ") + std::strerror(errno));
        c.fd = std::move(fd);
        c.phase = Phase::Connecting;
        c.deadline = now + plan.connectTimeoutMs;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = c.local;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, c.fd.get(), &ev);
        c.writeWanted = true;
    }

    void retryLater(Conn& c, Millis now, const std::string& why) {
        ++d.connectRetries;
        d.noteError(why, true);
        c.phase = Phase::Down;
        c.reconnectAt = now + nextBackoff(c);
    }

    Millis nextBackoff(Conn& c) {
        const Millis b = c.backoff;
        c.backoff = std::min(c.backoff * 2, kBackoffMaxMs);
        return b;
    }

    // Ends c's connection; it is made again after the backoff. Before the greeting that is a
    // connect retry, after it a broken connection.
    void drop(Conn& c, Millis now, const std::string& why) {
        const bool wasRunning = c.phase == Phase::Running;
        closeSocket(c);
        if (!wasRunning) return retryLater(c, now, why);
        ++d.broken;
        d.noteError(why, false);
        c.phase = Phase::Down;
        c.reconnectAt = now + nextBackoff(c);
    }

    void closeSocket(Conn& c) {
        if (c.phase == Phase::Running) --d.greeted;
        if (c.inFlight) {
            c.inFlight = false;  // pending: sent again on the next connection
            --outstanding;
        }
        if (c.fd) ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, c.fd.get(), nullptr);
        c.fd.reset();
        c.in.clear();
        c.out.clear();
        c.writeWanted = false;
        c.greetingSeen = false;
        if (c.phase != Phase::Gone) c.phase = Phase::Down;
    }

    void noteGreeting(Conn& c, Millis now) {
        c.backoff = kBackoffFirstMs;
        if (c.everGreeted) return;
        c.everGreeted = true;
        atomicMax(d.slowestGreeting, now - c.firstConnectAt);
        if (++d.greetedEver == plan.connections) d.allGreeted = now - d.startedAt;
    }

    void enterRunning(Conn& c) {
        c.phase = Phase::Running;
        ++d.greeted;
    }

    void onIo(Conn& c, std::uint32_t events, Millis now) {
        if (c.phase == Phase::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(c.fd.get(), SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) return drop(c, now, std::string("connect: ") + std::strerror(err));
            if (!(events & (EPOLLOUT | EPOLLIN))) return;
            c.phase = Phase::Welcome;
            setWriteInterest(c, false);
            if (mqtt()) {
                c.out += mqtt::connect(plan.clientPrefix + "-" + std::to_string(c.index),
                                       plan.receiver ? plan.cleanSession : true);
                if (!flush(c, now)) return;
            }
        }
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            std::string why;
            if (!readInput(c, why)) return drop(c, now, why);
            if (!(mqtt() ? takePackets(c, now) : takeLines(c, now))) return;
        }
        if (c.fd && (!c.out.empty() || (events & EPOLLOUT))) flush(c, now);
    }

    // False with why set when the connection is gone.
    bool readInput(Conn& c, std::string& why) {
        char buf[16384];
        for (;;) {
            const ssize_t n = ::recv(c.fd.get(), buf, sizeof buf, 0);
            if (n > 0) {
                c.in.append(buf, static_cast<std::size_t>(n));
                if (c.in.size() > kMaxInput) return true;  // looked at before reading on
                continue;
            }
            if (n == 0) {
                why = "connection closed by the server";
                return false;
            }
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return true;
            why = std::string("recv: ") + std::strerror(errno);
            return false;
        }
    }

    // The lines of the relay; false when the connection went meanwhile.
    bool takeLines(Conn& c, Millis now) {
        std::size_t from = 0;
        for (;;) {
            const std::size_t lf = c.in.find('\n', from);
            if (lf == std::string::npos) break;
            std::string_view line(c.in.data() + from, lf - from);
            from = lf + 1;
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            if (!line.empty() && line.front() == '\r') line.remove_prefix(1);
            if (!(plan.receiver ? onMonitorLine(c, line, now) : onRepeaterLine(c, line, now)))
                return false;
        }
        c.in.erase(0, from);
        if (c.in.size() > kMaxLine) {
            drop(c, now, "over-long line from the server");
            return false;
        }
        return true;
    }

    bool onRepeaterLine(Conn& c, std::string_view line, Millis now) {
        if (startsWith(line, "systime")) {
            c.out += "OK\r\n";
            // The first time command ends the welcome; the first event goes after its answer.
            if (c.phase == Phase::Welcome && c.greetingSeen) enterRunning(c);
            return true;
        }
        if (startsWith(line, kRepeaterGreeting)) {
            if (c.phase == Phase::Welcome && !c.greetingSeen) {
                c.greetingSeen = true;
                noteGreeting(c, now);
            }
            return true;
        }
        if (c.phase == Phase::Welcome) {
            // Something else after the greeting ends the welcome too; it answers nothing.
            if (c.greetingSeen) enterRunning(c);
            return true;
        }
        if (c.inFlight)
            answered(c, now);
        else if (!line.empty())
            c.out += "OK\r\n";  // a command of the relay's
        return true;
    }

    bool onMonitorLine(Conn& c, std::string_view line, Millis now) {
        if (c.phase == Phase::Welcome) {
            if (line == "Kormlink") {
                noteGreeting(c, now);
                c.out += plan.channel + "\r\n";
                enterRunning(c);
            }
            return true;
        }
        if (!(startsWith(line, "systime") || line == "@")) received(line, now);
        c.out += "OK\r\n";
        return true;
    }

    // The broker's packets; false when the connection went meanwhile.
    bool takePackets(Conn& c, Millis now) {
        std::size_t from = 0;
        for (;;) {
            mqtt::Packet p;
            const mqtt::Parse r = mqtt::takePacket(std::string_view(c.in).substr(from), p);
            if (r == mqtt::Parse::NeedMore) break;
            if (r == mqtt::Parse::Malformed) {
                drop(c, now, "malformed packet from the broker");
                return false;
            }
            from += p.size;
            if (!onPacket(c, p, now)) return false;
        }
        c.in.erase(0, from);
        return true;
    }

    bool onPacket(Conn& c, const mqtt::Packet& p, Millis now) {
        switch (p.type) {
            case mqtt::kConnAck:
                if (c.phase != Phase::Welcome) return true;
                if (p.body.size() < 2 || p.body[1] != 0) {
                    drop(c, now,
                         "CONNACK refused, code " +
                             std::to_string(p.body.size() < 2 ? -1 : static_cast<int>(p.body[1])));
                    return false;
                }
                if (plan.receiver) {
                    c.out += mqtt::subscribe(1, plan.channel, 1);
                    c.phase = Phase::Subscribing;
                } else {
                    noteGreeting(c, now);
                    enterRunning(c);
                }
                return true;
            case mqtt::kSubAck:
                if (c.phase != Phase::Subscribing) return true;
                if (p.body.size() < 3 || static_cast<std::uint8_t>(p.body[2]) > 2) {
                    drop(c, now, "SUBSCRIBE refused");
                    return false;
                }
                noteGreeting(c, now);
                if (plan.leaveAfterSubscribe) {
                    c.out += mqtt::disconnect();
                    flush(c, now);
                    c.phase = Phase::Gone;
                    closeSocket(c);
                    return false;
                }
                enterRunning(c);
                return true;
            case mqtt::kPubAck:
                if (!plan.receiver && c.inFlight && mqtt::packetIdOf(p) == c.packetId)
                    answered(c, now);
                return true;
            case mqtt::kPublish:
                if (plan.receiver && c.phase == Phase::Running) {
                    const auto m = mqtt::parsePublish(p);
                    if (!m) {
                        drop(c, now, "malformed PUBLISH from the broker");
                        return false;
                    }
                    if (m->qos == 1) c.out += mqtt::pubAck(m->packetId);
                    received(m->payload, now);
                }
                return true;
            default:
                return true;
        }
    }

    // False when the connection went (or c.out could not all be sent and it went).
    bool flush(Conn& c, Millis now) {
        while (!c.out.empty()) {
            const ssize_t n = ::send(c.fd.get(), c.out.data(), c.out.size(), MSG_NOSIGNAL);
            if (n > 0) {
                c.out.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            drop(c, now, std::string("send: ") + std::strerror(errno));
            return false;
        }
        if (c.out.size() > kMaxOutput) {
            drop(c, now, "the server does not read");
            return false;
        }
        setWriteInterest(c, !c.out.empty());
        return true;
    }

    void setWriteInterest(Conn& c, bool want) {
        if (want == c.writeWanted || !c.fd) return;
        c.writeWanted = want;
        epoll_event ev{};
        ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
        ev.data.u32 = c.local;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, c.fd.get(), &ev);
    }
};

LoadDriver::LoadDriver(LoadPlan plan) : m(std::make_unique<Impl>(std::move(plan))) {}

LoadDriver::~LoadDriver() { stop(0); }

bool LoadDriver::start(std::string* error) {
    if (!m->workers.empty()) return true;
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        m->workers.clear();
        return false;
    };
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(m->plan.port);
    if (::inet_pton(AF_INET, m->plan.host.c_str(), &address.sin_addr) != 1)
        return fail("not an IPv4 address: " + m->plan.host);
    const int connections = std::max(m->plan.connections, 1);
    m->plan.connections = connections;
    const int threads = std::clamp(m->plan.threads, 1, connections);
    for (int t = 0; t < threads; ++t) {
        auto w = std::make_unique<Impl::Worker>(*m);
        w->address = address;
        w->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
        if (!w->epoll) return fail(std::string("epoll: ") + std::strerror(errno));
        epoll_event ev{};
        ev.events = EPOLLIN;
        ev.data.u32 = kWakerIndex;
        ::epoll_ctl(w->epoll.get(), EPOLL_CTL_ADD, w->waker.fd(), &ev);
        m->workers.push_back(std::move(w));
    }
    for (int i = 0; i < connections; ++i) {
        Impl::Worker& w = *m->workers[static_cast<std::size_t>(i % threads)];
        Conn& c = w.conns.emplace_back();
        c.local = static_cast<std::uint32_t>(w.conns.size() - 1);
        c.index = i;
        c.id = (m->plan.firstId + static_cast<std::uint32_t>(i)) & 0xFFFFFF;
    }
    m->startedAt = steadyClock().now();
    for (auto& w : m->workers) w->thread = std::thread([p = w.get()] { p->run(); });
    return true;
}

void LoadDriver::stop(Millis drainMs) {
    m->drainMs = drainMs;
    m->stopRequested = true;
    for (auto& w : m->workers) w->waker.wake();
    for (auto& w : m->workers)
        if (w->thread.joinable()) w->thread.join();
}

LoadCounters LoadDriver::counters() const {
    LoadCounters c;
    c.sent = m->sent;
    c.acked = m->acked;
    c.resent = m->resent;
    c.connectRetries = m->connectRetries;
    c.broken = m->broken;
    c.answerTimeouts = m->answerTimeouts;
    c.greeted = m->greeted;
    c.greetedOnce = m->greetedEver;
    c.slowestGreetingMs = m->slowestGreeting;
    c.allGreetedMs = m->allGreeted;
    c.allAnsweredMs = m->allAnswered;
    std::lock_guard lock(m->errorMutex);
    c.lastError = m->lastError;
    c.retryReasons.assign(m->retryReasons.begin(), m->retryReasons.end());
    std::stable_sort(c.retryReasons.begin(), c.retryReasons.end(),
                     [](const auto& a, const auto& b) { return a.second > b.second; });
    return c;
}

void LoadDriver::recordLatenciesFrom(Millis at) { m->recordFrom = at; }

LatencyHistogram LoadDriver::latencies() const {
    std::lock_guard lock(m->latencyMutex);
    return m->latency;
}

}  // namespace kormlink::sim
