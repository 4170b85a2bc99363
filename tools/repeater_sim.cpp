#include "repeater_sim.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <queue>
#include <random>
#include <thread>

#include "config_image/intel_hex.h"
#include "platform/serial.h"
#include "platform/tcp.h"
#include "platform/unique_fd.h"
#include "sim_line.h"
#include "sim_loop.h"

namespace kormlink::sim {
namespace {

constexpr std::size_t kMaxLine = 16 * 1024;  // an unfinished line from the server
constexpr std::size_t kMaxOutput = 4 << 20;  // unsent bytes before the server counts as stuck
constexpr std::size_t kLoadeeBlock = 21;     // records per block of a download
constexpr Millis kBackoffFirstMs = 200;
// After answering "dicfg" the server may go on with a download at once or not at all; events
// wait this long so none of them lands inside the exchange, where the server would ignore it.
constexpr Millis kDicfgQuietMs = 500;
// An exchange in which the server stays silent this long is given up.
constexpr Millis kExchangeSilenceMs = 10'000;
// Most upload lines kept for the upload file; a whole configuration is 359 records.
constexpr std::size_t kUploadKeptLines = 5000;
constexpr Millis kFlushEveryMs = 200;
constexpr Millis kLoopTickMs = 50;  // longest epoll wait: stop requests and file flushes
constexpr std::size_t kMaxImageFile = 1 << 20;

bool startsWith(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

// "D<n>/" at the front of a batch answer: n and the length of the prefix.
std::optional<std::pair<unsigned long, std::size_t>> batchAck(const std::string& line) {
    if (line.size() < 3 || line[0] != 'D') return std::nullopt;
    std::size_t i = 1;
    unsigned long n = 0;
    while (i < line.size() && i < 8 && line[i] >= '0' && line[i] <= '9')
        n = n * 10 + static_cast<unsigned long>(line[i++] - '0');
    if (i == 1 || i >= line.size() || line[i] != '/') return std::nullopt;
    return std::make_pair(n, i + 1);
}

std::optional<long> countAfterC(const std::string& line) {
    if (!startsWith(line, "C/")) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long n = std::strtol(line.c_str() + 2, &end, 10);
    if (end == line.c_str() + 2 || errno != 0) return std::nullopt;
    return n;
}

// One event or status line, or one batch, waiting for its answer.
struct Unit {
    enum class Kind { Event, Status, Batch } kind = Kind::Event;
    std::vector<std::string> lines;  // without the batch's closing empty line
    std::vector<std::uint32_t> seqs;
    int transmissions = 0;
    bool inFlight = false;  // sent and not yet answered
};

enum class Phase { Down, Connecting, Welcome, Running };
enum class Exchange { None, LoadeeBlock, LoadeeFinal, Upload };

struct Repeater {
    std::uint32_t id = 0;
    std::uint32_t index = 0;
    UniqueFd socket;  // TCP; the serial port is owned by the simulator
    int fd = -1;
    Phase phase = Phase::Down;
    bool everConnected = false;
    bool writeWanted = false;  // EPOLLOUT registered
    std::string in, out;
    Millis phaseDeadline = 0;
    Millis reconnectAt = 0;
    Millis backoff = kBackoffFirstMs;

    std::optional<Unit> unit;
    Millis answerDeadline = 0;
    std::uint32_t nextSeq = 1;
    double nextEventAt = 0;
    double nextStatusAt = 0;
    std::uint32_t statusState = 0;
    Millis quietUntil = 0;

    Exchange exchange = Exchange::None;
    Millis exchangeDeadline = 0;
    std::size_t loadeeNext = 0;
    long uploadLines = 0;
    std::vector<std::string> uploaded;  // kept only with an upload file, at most the line limit

    Millis scheduledAt = -1;  // the wake-up time in the schedule; -1 none
};

}  // namespace

struct RepeaterSim::Impl {
    RepeaterSimOptions opt;
    std::vector<Repeater> reps;
    sim::WakeSchedule<Repeater> schedule;
    UniqueFd epoll;
    std::optional<Waker> waker;
    std::optional<SerialPort> serial;
    std::FILE* acked = nullptr;
    std::string ackedPending;
    Millis lastFlush = 0;
    std::thread thread;
    std::mt19937 rng{std::random_device{}()};

    std::atomic<bool> stopRequested{false};
    std::atomic<int> resetRequests{0};
    std::atomic<int> connectedNow{0};
    std::atomic<int> repeatersDone{0};
    Millis startedAt = 0;
    std::atomic<Millis> allConnectedAfter{-1};
    bool draining = false;
    Millis drainDeadline = 0;

    struct {
        std::atomic<std::uint64_t> sent{0}, acked{0}, resent{0}, batches{0}, batchMismatch{0},
            status{0}, reconnects{0}, commands{0}, dicfg{0}, downloads{0}, uploadsOk{0},
            uploadsBad{0}, systime{0};
    } c;

    sim::StampCache stamp;

    explicit Impl(RepeaterSimOptions o) : opt(std::move(o)) {
        if (opt.image.empty()) opt.image = builtInImage();
        if (!opt.serialDevice.empty()) {
            opt.repeaters = 1;
            opt.batch = 0;  // the server's serial side never acknowledges batches
        }
        opt.repeaters = std::max(opt.repeaters, 1);
    }

    bool serialMode() const { return !opt.serialDevice.empty(); }
    double eventIntervalMs() const {
        if (opt.rate <= 0) return 0;
        return 1000.0 * std::max(opt.batch, 1) / opt.rate;
    }

    void notice(const std::string& text) {
        if (opt.notice) opt.notice(text);
    }
    std::string idText(const Repeater& r) const { return detail::hex(r.id, 6); }

    // ---- the loop ----------------------------------------------------------------------

    void run() {
        const Millis start = steadyClock().now();
        std::uniform_real_distribution<double> spread(0.0, 1.0);
        for (Repeater& r : reps) {
            // Spread the first events and status lines over one period, so the repeaters do
            // not all send in the same millisecond.
            r.nextEventAt = static_cast<double>(start) + spread(rng) * eventIntervalMs();
            r.nextStatusAt = static_cast<double>(start) + spread(rng) * opt.statusEvery * 1000.0;
            r.reconnectAt = start + static_cast<Millis>(r.index / 50);  // connect in waves
            reschedule(r, start);
        }
        for (;;) {
            const Millis now =
                schedule.waitForIo(epoll.get(), UINT32_MAX, kLoopTickMs, reps,
                                   [&](Repeater& r, std::uint32_t events, Millis at) {
                                       onIo(r, events, at);
                                       reschedule(r, at);
                                   });
            if (waker->isSet()) waker->reset();
            while (resetRequests.load() > 0) {
                --resetRequests;
                resetRandom(now);
            }
            schedule.runDue(now, reps, [&](Repeater& r) {
                service(r, now);
                schedule.setAfterService(r, r.index, nextWake(r, now), now);
            });
            if (now - lastFlush >= kFlushEveryMs) flushAcked(now);
            if (stopRequested.load() && !draining) {
                draining = true;
                drainDeadline = now + opt.answerTimeoutMs;
            }
            if (draining && (now >= drainDeadline || !anyOutstanding())) break;
        }
        for (Repeater& r : reps) closeConnection(r, false);
        flushAcked(steadyClock().now());
    }

    bool anyOutstanding() const {
        for (const Repeater& r : reps) {
            if (r.phase == Phase::Down) continue;  // cannot be answered any more
            if ((r.unit && r.unit->inFlight) || r.exchange != Exchange::None) return true;
        }
        return false;
    }

    void reschedule(Repeater& r, Millis now) { schedule.set(r, r.index, nextWake(r, now)); }

    // The earliest time at which service() has something to do for r; -1 for never.
    Millis nextWake(const Repeater& r, Millis now) const {
        switch (r.phase) {
            case Phase::Down:
                return draining || serialMode() ? -1 : r.reconnectAt;
            case Phase::Connecting:
            case Phase::Welcome:
                return r.phaseDeadline;
            case Phase::Running:
                break;
        }
        if (r.exchange != Exchange::None) return r.exchangeDeadline;
        if (r.unit && r.unit->inFlight) return r.answerDeadline;
        if (draining) return -1;
        if (r.unit) return std::max(r.quietUntil, now);  // to be sent again
        double due = -1;
        if (moreEvents(r)) due = r.nextEventAt;
        if (opt.statusEvery > 0 && moreEvents(r))
            due = due < 0 ? r.nextStatusAt : std::min(due, r.nextStatusAt);
        if (due < 0) return -1;
        return std::max(r.quietUntil, static_cast<Millis>(std::ceil(due)));
    }

    bool moreEvents(const Repeater& r) const {
        return !opt.idle && (opt.count == 0 || r.nextSeq <= opt.count);
    }

    void service(Repeater& r, Millis now) {
        switch (r.phase) {
            case Phase::Down:
                if (!draining && now >= r.reconnectAt) openConnection(r, now);
                return;
            case Phase::Connecting:
            case Phase::Welcome:
                if (now >= r.phaseDeadline) {
                    notice(idText(r) + ": " +
                           (r.phase == Phase::Connecting ? "connect timed out" : "no greeting"));
                    closeConnection(r, false, now);
                }
                return;
            case Phase::Running:
                break;
        }
        if (r.exchange != Exchange::None) {
            if (now < r.exchangeDeadline) return;
            notice(idText(r) + ": the server went silent during an exchange; given up");
            if (r.exchange == Exchange::Upload) ++c.uploadsBad;
            r.exchange = Exchange::None;
        }
        if (r.unit && r.unit->inFlight) {
            if (now < r.answerDeadline) return;
            // No answer in time. Answers carry no number: one still on its way would be taken
            // for the answer to the next line, which the server may never have had. Over TCP
            // the connection goes, and with it any late answer; the unit is sent again on the
            // next one. A serial line cannot be dropped, so it sends the unit again at once.
            if (!serialMode()) {
                notice(idText(r) + ": no answer in time; connecting again");
                closeConnection(r, false, now);
                return;
            }
            r.unit->inFlight = false;
        }
        if (draining || now < r.quietUntil) return;
        if (r.unit) {
            transmit(r, now);
            return;
        }
        if (!moreEvents(r)) return;
        if (opt.statusEvery > 0 && static_cast<double>(now) >= r.nextStatusAt) {
            r.nextStatusAt =
                std::max(r.nextStatusAt + opt.statusEvery * 1000.0, static_cast<double>(now));
            makeStatus(r);
        } else if (static_cast<double>(now) >= r.nextEventAt) {
            const double interval = eventIntervalMs();
            r.nextEventAt += interval;
            // A repeater that fell behind (slow answers) does not burst to catch up.
            if (r.nextEventAt < static_cast<double>(now) - interval)
                r.nextEventAt = static_cast<double>(now);
            makeEvents(r);
        } else {
            return;
        }
        transmit(r, now);
    }

    void makeStatus(Repeater& r) {
        // The state changes now and then, so the server passes some status lines on at once.
        if (std::uniform_int_distribution<int>(0, 3)(rng) == 0) ++r.statusState;
        char state[17];
        std::snprintf(state, sizeof state, "00000000%08X", r.statusState);
        Unit u;
        u.kind = Unit::Kind::Status;
        u.lines.push_back(statusLine(r.id, state, '1', stamp.now()));
        r.unit = std::move(u);
    }

    void makeEvents(Repeater& r) {
        Unit u;
        const int k = opt.batch > 0 ? opt.batch : 1;
        u.kind = opt.batch > 0 ? Unit::Kind::Batch : Unit::Kind::Event;
        const std::uint32_t sentUs = wallUs32();
        for (int i = 1; i <= k && moreEvents(r); ++i) {
            const std::uint32_t seq = r.nextSeq++;
            u.seqs.push_back(seq);
            // The transmitter Id is the repeater's own low twelve bits: events of different
            // repeaters sent in the same millisecond with the same number must not look like
            // the same radio event heard twice, which the server forwards once.
            u.lines.push_back(eventLine(r.id, seq, sentUs, opt.batch > 0 ? i : 0, '1', r.id & 0xFFF,
                                        stamp.now()));
        }
        r.unit = std::move(u);
    }

    void transmit(Repeater& r, Millis now) {
        Unit& u = *r.unit;
        if (u.transmissions == 0) {
            if (u.kind == Unit::Kind::Status)
                ++c.status;
            else
                c.sent += u.seqs.size();
        } else if (u.kind != Unit::Kind::Status) {
            c.resent += u.seqs.size();
        }
        ++u.transmissions;
        u.inFlight = true;
        r.answerDeadline = now + opt.answerTimeoutMs;
        for (const std::string& line : u.lines) queueLine(r, line);
        if (u.kind == Unit::Kind::Batch) queueLine(r, "");
        flush(r, now);
    }

    void acknowledge(Repeater& r) {
        Unit& u = *r.unit;
        if (u.kind != Unit::Kind::Status) {
            c.acked += u.seqs.size();
            if (acked) {
                char buf[40];
                for (std::uint32_t seq : u.seqs) {
                    std::snprintf(buf, sizeof buf, "%06X %" PRIu32 "\n", r.id, seq);
                    ackedPending += buf;
                }
            }
        }
        if (u.kind == Unit::Kind::Batch) ++c.batches;
        r.unit.reset();
        if (opt.count > 0 && !moreEvents(r)) ++repeatersDone;
    }

    void flushAcked(Millis now) {
        lastFlush = now;
        if (!acked || ackedPending.empty()) return;
        std::fwrite(ackedPending.data(), 1, ackedPending.size(), acked);
        std::fflush(acked);
        ackedPending.clear();
    }

    // ---- connections -------------------------------------------------------------------

    void openConnection(Repeater& r, Millis now) {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(opt.port);
        if (::inet_pton(AF_INET, opt.host.c_str(), &addr.sin_addr) != 1) {
            notice("not an IPv4 address: " + opt.host);
            r.reconnectAt = now + opt.backoffMaxMs;
            return;
        }
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
        if (!fd) {
            notice(idText(r) + ": no socket: " + std::strerror(errno));
            r.reconnectAt = now + opt.backoffMaxMs;
            return;
        }
        int one = 1;
        ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int rc = ::connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr);
        if (rc != 0 && errno != EINPROGRESS) {
            r.reconnectAt = now + nextBackoff(r);
            return;
        }
        r.fd = fd.get();
        r.socket = std::move(fd);
        r.phase = Phase::Connecting;
        r.phaseDeadline = now + opt.connectTimeoutMs;
        epoll_event ev{};
        ev.events = EPOLLIN | EPOLLOUT;
        ev.data.u32 = r.index;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_ADD, r.fd, &ev);
        r.writeWanted = true;
    }

    Millis nextBackoff(Repeater& r) {
        Millis b = r.backoff;
        r.backoff = std::min(r.backoff * 2, std::max(opt.backoffMaxMs, kBackoffFirstMs));
        return b;
    }

    // Ends r's connection; it comes back after the backoff. abortive: the peer sees a reset.
    void closeConnection(Repeater& r, bool abortive, Millis now = 0) {
        if (r.phase == Phase::Down) return;
        if (r.phase == Phase::Running) --connectedNow;
        if (r.fd >= 0) ::epoll_ctl(epoll.get(), EPOLL_CTL_DEL, r.fd, nullptr);
        if (abortive && r.socket) {
            linger l{1, 0};
            ::setsockopt(r.socket.get(), SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        r.socket.reset();
        r.fd = -1;
        r.phase = Phase::Down;
        r.in.clear();
        r.out.clear();
        r.writeWanted = false;
        if (r.exchange == Exchange::Upload) ++c.uploadsBad;
        r.exchange = Exchange::None;
        r.quietUntil = 0;
        if (r.unit) r.unit->inFlight = false;  // sent again after the reconnect
        r.reconnectAt = now + nextBackoff(r);
    }

    void resetRandom(Millis now) {
        std::vector<std::uint32_t> live;
        for (const Repeater& r : reps)
            if (r.phase == Phase::Running && r.socket) live.push_back(r.index);
        if (live.empty()) return;
        Repeater& r =
            reps[live[std::uniform_int_distribution<std::size_t>(0, live.size() - 1)(rng)]];
        notice(idText(r) + ": connection reset");
        closeConnection(r, true, now);
        r.backoff = kBackoffFirstMs;
        reschedule(r, now);
    }

    void enterRunning(Repeater& r, Millis now) {
        r.phase = Phase::Running;
        if (++connectedNow == opt.repeaters && allConnectedAfter.load() < 0)
            allConnectedAfter = now - startedAt;
        r.backoff = kBackoffFirstMs;
        if (r.everConnected) ++c.reconnects;
        r.everConnected = true;
        // The unacknowledged event or batch goes first, before any new one.
        if (r.unit && !draining) transmit(r, now);
    }

    void onIo(Repeater& r, std::uint32_t events, Millis now) {
        if (r.phase == Phase::Connecting) {
            int err = 0;
            socklen_t len = sizeof err;
            ::getsockopt(r.fd, SOL_SOCKET, SO_ERROR, &err, &len);
            if (err != 0) {
                closeConnection(r, false, now);
                return;
            }
            if (!(events & (EPOLLOUT | EPOLLIN))) return;
            r.phase = Phase::Welcome;
            r.phaseDeadline = now + opt.answerTimeoutMs;
            setWriteInterest(r, false);
        }
        if (events & (EPOLLIN | EPOLLHUP | EPOLLERR)) {
            if (!readInput(r, now)) {
                // A serial line is not reopened: the run goes on without it until stopped.
                if (serialMode()) notice(opt.serialDevice + ": read failed; the line is given up");
                closeConnection(r, false, now);
                return;
            }
            std::size_t from = 0;
            for (;;) {
                std::size_t lf = r.in.find('\n', from);
                if (lf == std::string::npos) break;
                std::string line = r.in.substr(from, lf - from);
                from = lf + 1;
                if (!line.empty() && line.back() == '\r') line.pop_back();
                if (!line.empty() && line.front() == '\r') line.erase(0, 1);
                onLine(r, line, now);
                if (r.phase == Phase::Down) return;
            }
            r.in.erase(0, from);
            if (r.in.size() > kMaxLine) {
                notice(idText(r) + ": the server sent an over-long line; reconnecting");
                closeConnection(r, false, now);
                return;
            }
        }
        if ((events & EPOLLOUT) && r.phase != Phase::Down) flush(r, now);
    }

    // False when the connection is gone.
    bool readInput(Repeater& r, Millis) {
        char buf[8192];
        for (;;) {
            ssize_t n = ::read(r.fd, buf, sizeof buf);
            if (n > 0) {
                r.in.append(buf, static_cast<std::size_t>(n));
                if (r.in.size() > kMaxLine * 4) return true;  // lines taken before reading on
                continue;
            }
            if (n == 0) return serialMode();  // a serial line never ends; a socket closed
            if (errno == EINTR) continue;
            return errno == EAGAIN || errno == EWOULDBLOCK;
        }
    }

    void queueLine(Repeater& r, const std::string& line) {
        r.out += line;
        r.out += "\r\n";
    }

    void flush(Repeater& r, Millis now) {
        while (!r.out.empty() && r.fd >= 0) {
            ssize_t n = serialMode() ? ::write(r.fd, r.out.data(), r.out.size())
                                     : ::send(r.fd, r.out.data(), r.out.size(), MSG_NOSIGNAL);
            if (n > 0) {
                r.out.erase(0, static_cast<std::size_t>(n));
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (r.phase != Phase::Connecting) closeConnection(r, false, now);
            return;
        }
        if (r.out.size() > kMaxOutput) {
            notice(idText(r) + ": the server does not read; reconnecting");
            closeConnection(r, false, now);
            return;
        }
        setWriteInterest(r, !r.out.empty());
    }

    void setWriteInterest(Repeater& r, bool want) {
        if (want == r.writeWanted || r.fd < 0) return;
        r.writeWanted = want;
        epoll_event ev{};
        ev.events = EPOLLIN | (want ? EPOLLOUT : 0u);
        ev.data.u32 = r.index;
        ::epoll_ctl(epoll.get(), EPOLL_CTL_MOD, r.fd, &ev);
    }

    void send(Repeater& r, const std::string& line, Millis now) {
        queueLine(r, line);
        flush(r, now);
    }

    // ---- the protocol ------------------------------------------------------------------

    void onLine(Repeater& r, const std::string& line, Millis now) {
        if (r.phase == Phase::Welcome) {
            if (startsWith(line, "QX7310kv")) return;  // the greeting
            if (startsWith(line, "systime")) {         // the first time command ends the welcome
                ++c.systime;
                send(r, "OK", now);
                if (r.phase == Phase::Welcome) enterRunning(r, now);
                return;
            }
            enterRunning(r, now);
            if (r.phase != Phase::Running) return;
        }
        // A greeting is never an answer (the serial side greets when it opens its port).
        if (startsWith(line, "QX7310kv")) return;
        if (r.exchange != Exchange::None) {
            r.exchangeDeadline = now + kExchangeSilenceMs;
            onExchangeLine(r, line, now);
            return;
        }
        std::string command = line;
        if (r.unit && r.unit->inFlight) {
            if (r.unit->kind == Unit::Kind::Batch) {
                auto ack = batchAck(line);
                if (ack && ack->first == r.unit->seqs.size()) {
                    acknowledge(r);
                } else {
                    ++c.batchMismatch;
                    r.unit->inFlight = false;  // sent again at the next chance
                }
                if (ack) command = line.substr(ack->second);
            } else {
                acknowledge(r);  // any line answers a plain line
            }
        } else if (auto ack = batchAck(line)) {
            command = line.substr(ack->second);  // a late answer to a batch sent again
        }
        if (!command.empty()) onCommand(r, command, now);
    }

    void onCommand(Repeater& r, const std::string& cmd, Millis now) {
        if (startsWith(cmd, "systime")) {
            ++c.systime;
            send(r, "OK", now);
        } else if (cmd == "dicfg") {
            ++c.dicfg;
            notice(idText(r) + ": dicfg");
            send(r, "RPT " + idText(r), now);
            send(r,
                 "ActiveChCount 3 CH1(01) CH2(NA) CH3(02) CH4(NA) CH5(03) CH6(NA) CH7(NA) CH8(NA)",
                 now);
            send(r, "MCP V" + opt.mcpVersion, now);
            send(r, "OK", now);
            r.quietUntil = now + kDicfgQuietMs;
        } else if (cmd.find(":loadee") != std::string::npos) {
            notice(idText(r) + ": " + cmd + ": sending " + std::to_string(opt.image.size()) +
                   " records");
            r.loadeeNext = 0;
            r.exchangeDeadline = now + kExchangeSilenceMs;
            sendLoadeeBlock(r, now);
        } else if (cmd.find(":upfirm") != std::string::npos ||
                   cmd.find(":upee") != std::string::npos) {
            notice(idText(r) + ": " + cmd + ": upload starts");
            r.exchange = Exchange::Upload;
            r.uploadLines = 0;
            r.uploaded.clear();
            r.exchangeDeadline = now + kExchangeSilenceMs;
            send(r, "Wait for HEX", now);
        } else {
            ++c.commands;
            notice(idText(r) + ": command " + cmd);
            send(r, "OK", now);
        }
    }

    // Writes the lines of the upload just accepted to the upload file, for whoever checks what
    // the server sent.
    void keepUpload(Repeater& r) {
        std::string error;
        if (!writeTextLines(opt.uploadFile, r.uploaded, &error))
            notice(idText(r) + ": upload file: " + error);
        r.uploaded.clear();
    }

    void sendLoadeeBlock(Repeater& r, Millis now) {
        std::size_t inBlock = 0;
        while (r.loadeeNext < opt.image.size() && inBlock < kLoadeeBlock) {
            queueLine(r, "#4" + opt.image[r.loadeeNext++]);
            ++inBlock;
        }
        if (inBlock == kLoadeeBlock) {
            queueLine(r, "");  // a full block: wait for the server's "C/<n>"
            r.exchange = Exchange::LoadeeBlock;
        } else {
            queueLine(r, "C/" + std::to_string(r.loadeeNext));
            r.exchange = Exchange::LoadeeFinal;
        }
        flush(r, now);
    }

    void onExchangeLine(Repeater& r, const std::string& line, Millis now) {
        switch (r.exchange) {
            case Exchange::LoadeeBlock:
                if (startsWith(line, "C/")) sendLoadeeBlock(r, now);
                return;
            case Exchange::LoadeeFinal:
                if (startsWith(line, "OK")) {
                    ++c.downloads;
                    r.exchange = Exchange::None;
                    notice(idText(r) + ": download done");
                }
                return;
            case Exchange::Upload:
                if (auto n = countAfterC(line)) {
                    const bool ok = *n == r.uploadLines;
                    ++(ok ? c.uploadsOk : c.uploadsBad);
                    send(r, ok ? "OK" : "ERROR", now);
                    notice(idText(r) + ": upload of " + std::to_string(r.uploadLines) +
                           " lines, the server counted " + std::to_string(*n) +
                           (ok ? ": OK" : ": ERROR"));
                    r.exchange = Exchange::None;
                    if (ok && !opt.uploadFile.empty()) keepUpload(r);
                } else if (!line.empty()) {
                    ++r.uploadLines;
                    if (!opt.uploadFile.empty() && r.uploaded.size() < kUploadKeptLines)
                        r.uploaded.push_back(line);
                }
                return;
            case Exchange::None:
                return;
        }
    }
};

RepeaterSim::RepeaterSim(RepeaterSimOptions options)
    : m(std::make_unique<Impl>(std::move(options))) {}

RepeaterSim::~RepeaterSim() {
    stop();
    if (m->acked) std::fclose(m->acked);
}

bool RepeaterSim::start(std::string* error) {
    if (m->thread.joinable()) return true;
    m->startedAt = steadyClock().now();
    auto fail = [&](const std::string& text) {
        if (error) *error = text;
        return false;
    };
    m->epoll.reset(::epoll_create1(EPOLL_CLOEXEC));
    if (!m->epoll) return fail(std::string("epoll: ") + std::strerror(errno));
    m->waker.emplace();
    epoll_event ev{};
    ev.events = EPOLLIN;
    ev.data.u32 = UINT32_MAX;
    ::epoll_ctl(m->epoll.get(), EPOLL_CTL_ADD, m->waker->fd(), &ev);
    if (!m->opt.ackedFile.empty()) {
        m->acked = std::fopen(m->opt.ackedFile.c_str(), "a");
        if (!m->acked) return fail(m->opt.ackedFile + ": " + std::strerror(errno));
    }
    m->reps.resize(static_cast<std::size_t>(m->opt.repeaters));
    for (std::size_t i = 0; i < m->reps.size(); ++i) {
        m->reps[i].index = static_cast<std::uint32_t>(i);
        m->reps[i].id = (m->opt.firstId + static_cast<std::uint32_t>(i)) & 0xFFFFFF;
    }
    if (m->serialMode()) {
        SerialSettings settings;
        settings.Baud = m->opt.baud;
        std::string why;
        m->serial = SerialPort::open(m->opt.serialDevice, settings, &why);
        if (!m->serial) return fail(m->opt.serialDevice + ": " + why);
        // Whatever the server sent before we came (its greeting and time command) would be
        // taken for answers to our first events.
        m->serial->discardInput();
        Repeater& r = m->reps[0];
        r.fd = m->serial->fd();
        ::fcntl(r.fd, F_SETFL, ::fcntl(r.fd, F_GETFL) | O_NONBLOCK);
        epoll_event sev{};
        sev.events = EPOLLIN;
        sev.data.u32 = 0;
        ::epoll_ctl(m->epoll.get(), EPOLL_CTL_ADD, r.fd, &sev);
        // The server greeted the line when it opened its port; there is nothing to wait for.
        m->enterRunning(r, steadyClock().now());
    }
    m->thread = std::thread([this] { m->run(); });
    return true;
}

void RepeaterSim::stop() {
    if (!m->thread.joinable()) return;
    m->stopRequested = true;
    m->waker->wake();
    m->thread.join();
}

bool RepeaterSim::done() const {
    return m->opt.count > 0 && m->repeatersDone.load() >= m->opt.repeaters;
}

int RepeaterSim::connected() const { return m->connectedNow.load(); }

Millis RepeaterSim::allConnectedAfterMs() const { return m->allConnectedAfter.load(); }

RepeaterSimCounters RepeaterSim::counters() const {
    RepeaterSimCounters s;
    s.sent = m->c.sent;
    s.acked = m->c.acked;
    s.resent = m->c.resent;
    s.batches = m->c.batches;
    s.batchMismatch = m->c.batchMismatch;
    s.status = m->c.status;
    s.reconnects = m->c.reconnects;
    s.commands = m->c.commands;
    s.dicfg = m->c.dicfg;
    s.downloads = m->c.downloads;
    s.uploadsOk = m->c.uploadsOk;
    s.uploadsBad = m->c.uploadsBad;
    s.systime = m->c.systime;
    return s;
}

void RepeaterSim::resetOneConnection() {
    if (m->serialMode() || !m->waker) return;
    ++m->resetRequests;
    m->waker->wake();
}

std::vector<std::string> builtInImage() {
    std::uint8_t mask[256], general[64], network[160];
    for (int i = 0; i < 256; ++i) mask[i] = static_cast<std::uint8_t>(7 * i);
    for (int i = 0; i < 64; ++i) general[i] = static_cast<std::uint8_t>(0x40 + i);
    for (int i = 0; i < 160; ++i) network[i] = static_cast<std::uint8_t>(i);
    std::vector<std::string> lines;
    WriteHexRange(0x0000, 0x00FF, mask, sizeof mask, 0, lines);
    WriteHexRange(0x1000, 0x103F, general, sizeof general, 0, lines);
    WriteHexRange(0x1100, 0x119F, network, sizeof network, 0, lines);
    lines.push_back(":00000001FF");
    return lines;
}

std::optional<std::vector<std::string>> readImageFile(const std::string& path, std::string* error) {
    auto fail = [&](const std::string& text) -> std::optional<std::vector<std::string>> {
        if (error) *error = path + ": " + text;
        return std::nullopt;
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return fail(std::strerror(errno));
    if (static_cast<std::size_t>(st.st_size) > kMaxImageFile) return fail("larger than 1 MiB");
    std::vector<std::string> records;
    for (std::string& line : readTextLines(path)) {
        while (!line.empty() && (line.back() == ' ' || line.back() == '\t')) line.pop_back();
        if (!line.empty() && line[0] == ':') records.push_back(std::move(line));
    }
    if (records.empty()) return fail("no HEX records");
    std::string why;
    if (std::size_t bad = findBadHexLine(records, &why))
        return fail("record " + std::to_string(bad) + ": " + why);
    return records;
}

std::string summaryLine(const RepeaterSimCounters& c, const RunFigures& f) {
    char buf[640];
    std::snprintf(
        buf, sizeof buf,
        "rptsim: repeaters=%d sent=%" PRIu64 " acked=%" PRIu64 " resent=%" PRIu64
        " batches=%" PRIu64 " batch_mismatch=%" PRIu64 " status=%" PRIu64 " reconnects=%" PRIu64
        " commands=%" PRIu64 " dicfg=%" PRIu64 " downloads=%" PRIu64 " uploads_ok=%" PRIu64
        " uploads_bad=%" PRIu64
        " elapsed_s=%.1f acked_per_s=%.1f connected=%d all_connected_s=%.3f"
        " window_s=%.3f window_acked=%" PRIu64 " window_acked_per_s=%.1f",
        f.repeaters, c.sent, c.acked, c.resent, c.batches, c.batchMismatch, c.status, c.reconnects,
        c.commands, c.dicfg, c.downloads, c.uploadsOk, c.uploadsBad, f.elapsedS,
        f.elapsedS > 0 ? static_cast<double>(c.acked) / f.elapsedS : 0.0, f.connectedAtEnd,
        f.allConnectedMs >= 0 ? static_cast<double>(f.allConnectedMs) / 1000.0 : -1.0, f.windowS,
        f.windowAcked, f.windowS > 0 ? static_cast<double>(f.windowAcked) / f.windowS : 0.0);
    return buf;
}

}  // namespace kormlink::sim
