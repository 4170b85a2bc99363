#include "monitor_sim.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>

#include "platform/serial.h"

namespace kormlink::sim {

namespace {

constexpr Millis kConnectTimeoutMs = 2000;
constexpr Millis kGreetingTimeoutMs = 5000;
// Receives wait at most this long, so flushing, the idle limit and the duration are looked
// after while nothing arrives.
constexpr Millis kPollMs = 100;
constexpr Millis kBackoffStartMs = 200;
constexpr Millis kBackoffMaxMs = 2000;
constexpr Millis kSerialWriteTimeoutMs = 1000;
// Cap on an unfinished serial line; the server's lines are under 80 characters.
constexpr std::size_t kMaxSerialLine = 4096;
constexpr std::size_t kFlushBytes = 64 * 1024;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

}  // namespace

SequenceChecker::SequenceChecker(std::size_t maxRepeaters) : m_max(maxRepeaters) {}

SequenceChecker::Verdict SequenceChecker::note(std::uint32_t repeaterId, std::uint32_t seq) {
    auto it = m_last.find(repeaterId);
    if (it == m_last.end()) {
        if (m_last.size() >= m_max) {
            ++m_untracked;
            return Verdict::Untracked;
        }
        m_last.emplace(repeaterId, seq);
        return Verdict::First;
    }
    std::uint32_t& last = it->second;
    if (seq <= last) {
        // The highest number stays: the lines after a redelivered stretch are repeats too.
        ++m_repeats;
        return Verdict::Repeat;
    }
    const std::uint32_t skipped = seq - last - 1;
    last = seq;
    if (skipped == 0) return Verdict::InOrder;
    ++m_gaps;
    m_missing += skipped;
    return Verdict::Gap;
}

LatencyHistogram::LatencyHistogram() : m_buckets(kBucketCount, 0) {}

std::size_t LatencyHistogram::bucketOf(std::uint32_t us) {
    if (us < 2 * kSubBuckets) return us;
    const int shift = 31 - __builtin_clz(us) - kSubBits;  // >= 1
    return static_cast<std::size_t>(shift + 1) * kSubBuckets + (us >> shift) - kSubBuckets;
}

std::uint32_t LatencyHistogram::lowerBound(std::size_t bucket) {
    if (bucket < 2 * kSubBuckets) return static_cast<std::uint32_t>(bucket);
    const auto shift = static_cast<int>(bucket / kSubBuckets) - 1;
    return static_cast<std::uint32_t>(bucket % kSubBuckets + kSubBuckets) << shift;
}

std::uint64_t LatencyHistogram::upperBound(std::size_t bucket) {
    if (bucket < 2 * kSubBuckets) return bucket + 1;
    const auto shift = static_cast<int>(bucket / kSubBuckets) - 1;
    return std::uint64_t{lowerBound(bucket)} + (std::uint64_t{1} << shift);
}

void LatencyHistogram::add(std::uint32_t us) {
    ++m_buckets[bucketOf(us)];
    ++m_count;
    m_max = std::max(m_max, us);
}

std::uint32_t LatencyHistogram::percentile(double q) const {
    if (m_count == 0) return 0;
    // The rank of the sample sought, 1-based: the smallest bucket whose running count reaches it.
    auto rank = static_cast<std::uint64_t>(q * static_cast<double>(m_count) + 0.999999);
    rank = std::clamp<std::uint64_t>(rank, 1, m_count);
    std::uint64_t seen = 0;
    for (std::size_t b = 0; b < m_buckets.size(); ++b) {
        seen += m_buckets[b];
        if (seen >= rank)
            return static_cast<std::uint32_t>(std::min<std::uint64_t>(upperBound(b) - 1, m_max));
    }
    return m_max;
}

std::string LatencyHistogram::toText() const {
    std::string text =
        "# lower_us upper_us count: count samples with lower_us <= latency < upper_us\n";
    char row[64];
    for (std::size_t b = 0; b < m_buckets.size(); ++b) {
        if (m_buckets[b] == 0) continue;
        std::snprintf(row, sizeof row, "%" PRIu32 " %" PRIu64 " %" PRIu64 "\n", lowerBound(b),
                      upperBound(b), m_buckets[b]);
        text += row;
    }
    return text;
}

std::optional<AnswerMode> parseAnswerMode(std::string_view text) {
    if (text == "ack") return AnswerMode::Ack;
    if (text == "delay") return AnswerMode::Delay;
    if (text == "empty") return AnswerMode::Empty;
    if (text == "never") return AnswerMode::Never;
    return std::nullopt;
}

const char* answerModeName(AnswerMode mode) {
    switch (mode) {
        case AnswerMode::Ack: return "ack";
        case AnswerMode::Delay: return "delay";
        case AnswerMode::Empty: return "empty";
        case AnswerMode::Never: return "never";
    }
    return "?";
}

std::string formatSummary(const MonitorSnapshot& s) {
    char buf[768];
    const double perS = s.elapsedS > 0 ? static_cast<double>(s.acked) / s.elapsedS : 0.0;
    const double busyPerS = s.busyS > 0 ? static_cast<double>(s.acked) / s.busyS : 0.0;
    std::snprintf(buf, sizeof buf,
                  "monsim: received=%" PRIu64 " acked=%" PRIu64 " events=%" PRIu64 " other=%" PRIu64
                  " repeaters=%" PRIu64 " gaps=%" PRIu64 " missing=%" PRIu64 " repeats=%" PRIu64
                  " latency_ms_p50=%.3f latency_ms_p99=%.3f latency_ms_max=%.3f"
                  " latency_count=%" PRIu64 " reconnects=%" PRIu64
                  " elapsed_s=%.1f per_s=%.1f busy_s=%.3f"
                  " busy_per_s=%.1f syncs=%" PRIu64 " keepalives=%" PRIu64 " untracked=%" PRIu64
                  " overlong=%" PRIu64,
                  s.received, s.acked, s.events, s.other, s.repeaters, s.gaps, s.missing, s.repeats,
                  s.latencyP50Us / 1000.0, s.latencyP99Us / 1000.0, s.latencyMaxUs / 1000.0,
                  s.latencyCount, s.reconnects, s.elapsedS, perS, s.busyS, busyPerS, s.syncs,
                  s.keepAlives, s.untracked, s.overlong);
    return buf;
}

bool DeliveredLog::open(const std::string& path, std::string* error) {
    m_fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
    if (m_fd < 0) {
        if (error) *error = path + ": " + std::strerror(errno);
        return false;
    }
    m_buffer.reserve(kFlushBytes + 64);
    return true;
}

void DeliveredLog::add(std::uint32_t repeaterId, std::uint32_t seq) {
    if (m_fd < 0) return;
    if (m_buffer.empty()) m_since = steadyClock().now();
    char entry[32];
    const int n = std::snprintf(entry, sizeof entry, "%06" PRIX32 " %" PRIu32 "\n",
                                repeaterId & 0xFFFFFF, seq);
    m_buffer.append(entry, static_cast<std::size_t>(n));
    if (m_buffer.size() >= kFlushBytes) flush(true);
}

void DeliveredLog::flush(bool force) {
    if (m_fd < 0 || m_buffer.empty()) return;
    if (!force && steadyClock().now() - m_since < kFlushMs) return;
    std::size_t done = 0;
    while (done < m_buffer.size()) {
        const ssize_t n = ::write(m_fd, m_buffer.data() + done, m_buffer.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;  // a full disk loses the entries; the counters still tell
        done += static_cast<std::size_t>(n);
    }
    m_buffer.clear();
}

DeliveredLog::~DeliveredLog() {
    flush(true);
    if (m_fd >= 0) ::close(m_fd);
}

MonitorSim::MonitorSim(MonitorOptions options)
    : m_options(std::move(options)), m_checker(m_options.maxRepeaters) {}

MonitorSim::~MonitorSim() { stop(); }

bool MonitorSim::start(std::string* error) {
    auto fail = [&](std::string text) {
        if (error) *error = std::move(text);
        return false;
    };
    if (m_running.exchange(true)) return fail("already started");
    if (m_options.serialDevice.empty() && m_options.channel.empty())
        return fail("no channel Id (or serial device) given");
    if (!m_options.deliveredPath.empty()) {
        std::string why;
        if (!m_delivered.open(m_options.deliveredPath, &why)) return fail(why);
        m_logDelivered = true;
    }
    m_start = steadyClock().now();
    m_lastArrival = m_start.load();
    m_thread = std::thread([this] { run(); });
    return true;
}

void MonitorSim::stop() {
    m_waker.wake();
    if (m_thread.joinable()) m_thread.join();
}

bool MonitorSim::waitFinished(Millis timeoutMs) {
    std::unique_lock lock(m_doneMutex);
    return m_doneCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                             [this] { return m_finished.load(); });
}

void MonitorSim::run() {
    try {
        if (m_options.serialDevice.empty()) runTcp();
        else runSerial();
    } catch (const std::exception& e) {
        setError(std::string("stopped by an error: ") + e.what());
    }
    m_connected = false;
    m_delivered.flush(true);
    m_end = steadyClock().now();
    {
        std::lock_guard lock(m_doneMutex);
        m_finished = true;
    }
    m_doneCv.notify_all();
}

bool MonitorSim::timeToFinish() {
    if (m_waker.isSet()) return true;
    const Millis now = steadyClock().now();
    if (m_options.durationMs > 0 && now - m_start >= m_options.durationMs) return true;
    return m_options.idleExitMs > 0 && now - m_lastArrival >= m_options.idleExitMs;
}

bool MonitorSim::pause(Millis ms) {
    const Millis deadline = steadyClock().now() + ms;
    for (;;) {
        if (timeToFinish()) return false;
        const Millis left = deadline - steadyClock().now();
        if (left <= 0) return true;
        pollfd p{m_waker.fd(), POLLIN, 0};
        ::poll(&p, 1, static_cast<int>(std::min(left, kPollMs)));
    }
}

void MonitorSim::setError(std::string text) {
    std::lock_guard lock(m_statsMutex);
    m_lastError = std::move(text);
}

template <typename SendAnswer>
bool MonitorSim::onChannelLine(std::string_view line, std::uint32_t receivedUs,
                               SendAnswer&& sendAnswer) {
    ++m_received;
    noteArrival();
    switch (m_options.mode) {
        case AnswerMode::Never: return true;  // the server gives up on us and keeps the line
        case AnswerMode::Empty: return sendAnswer(false);
        case AnswerMode::Delay:
            if (!pause(m_options.delayMs)) return false;
            break;
        case AnswerMode::Ack: break;
    }
    if (!sendAnswer(true)) return false;
    ++m_acked;
    const Millis now = steadyClock().now();
    Millis unset = -1;
    m_firstAck.compare_exchange_strong(unset, now);
    m_lastAck = now;
    const auto event = parseEvent(line);
    if (!event) {
        ++m_other;
        return true;
    }
    ++m_events;
    if (m_firstEvent < 0) m_firstEvent = now;
    {
        std::lock_guard lock(m_statsMutex);
        m_checker.note(event->repeaterId, event->seq);
        if (now - m_firstEvent >= m_options.warmupMs)
            m_latency.add(latencyUs(event->sentUs, receivedUs));
    }
    if (m_logDelivered) m_delivered.add(event->repeaterId, event->seq);
    return true;
}

void MonitorSim::runTcp() {
    Millis backoff = kBackoffStartMs;
    std::string line;
    line.reserve(256);
    const std::string hello = m_options.channel + "\r\n";
    while (!timeToFinish()) {
        auto socket = TcpSocket::connectTo(m_options.host, m_options.port, kConnectTimeoutMs);
        bool greeted = false;
        if (!socket) {
            setError("cannot connect to " + m_options.host + ":" + std::to_string(m_options.port));
        } else {
            const RecvStatus status = socket->recvLine(line, kGreetingTimeoutMs, &m_waker);
            if (status == RecvStatus::Interrupted) break;
            if (status != RecvStatus::Line || line != "Kormlink") setError("no greeting");
            else greeted = socket->sendAll(hello, &m_waker);
        }
        if (greeted) {
            // Answers are tiny and each one holds up the next line: send them at once.
            int one = 1;
            ::setsockopt(socket->fd(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            ++m_connects;
            m_connected = true;
            backoff = kBackoffStartMs;
            serveTcp(*socket, line);
            m_connected = false;
        }
        m_delivered.flush(true);
        if (!pause(backoff)) break;
        if (!greeted) backoff = std::min(backoff * 2, kBackoffMaxMs);
    }
}

void MonitorSim::serveTcp(TcpSocket& socket, std::string& line) {
    auto send = [&](std::string_view text) {
        if (socket.sendAll(text, &m_waker)) return true;
        setError("answer not sent");
        return false;
    };
    auto answer = [&](bool acknowledge) { return send(acknowledge ? "OK\r\n" : "\r\n"); };
    Millis lastLine = steadyClock().now();
    while (!timeToFinish()) {
        const RecvStatus status = socket.recvLine(line, kPollMs, &m_waker);
        m_delivered.flush();
        switch (status) {
            case RecvStatus::Line: lastLine = steadyClock().now(); break;
            case RecvStatus::Timeout:
                if (m_options.silenceMs > 0 && steadyClock().now() - lastLine >= m_options.silenceMs) {
                    setError("no line for the silence time; connecting again");
                    return;
                }
                continue;
            case RecvStatus::Interrupted: return;
            case RecvStatus::Overflow:
            case RecvStatus::Overlong:  // not returned here: the socket keeps the default cap
                ++m_overlong;
                setError("overlong line");
                return;
            case RecvStatus::Closed: setError("connection closed by the server"); return;
            case RecvStatus::Error: setError("connection broken"); return;
        }
        const std::uint32_t receivedUs = wallUs32();
        if (startsWith(line, "systime")) {
            ++m_syncs;
            if (!send("OK\r\n")) return;
        } else if (line == "@") {
            ++m_keepAlives;
            if (!send("OK\r\n")) return;
        } else if (!onChannelLine(line, receivedUs, answer)) {
            return;
        }
    }
}

void MonitorSim::runSerial() {
    SerialSettings settings;
    settings.Baud = m_options.baud;
    Millis backoff = kBackoffStartMs;
    while (!timeToFinish()) {
        std::string why;
        auto port = SerialPort::open(m_options.serialDevice, settings, &why);
        if (!port) {
            setError(m_options.serialDevice + ": " + why);
            if (!pause(backoff)) break;
            backoff = std::min(backoff * 2, kBackoffMaxMs);
            continue;
        }
        ++m_connects;
        m_connected = true;
        backoff = kBackoffStartMs;
        serveSerial(*port);
        m_connected = false;
        m_delivered.flush(true);
        if (!pause(backoff)) break;
    }
}

void MonitorSim::serveSerial(SerialPort& port) {
    auto send = [&](std::string_view text) {
        if (port.write(text, kSerialWriteTimeoutMs, &m_waker)) return true;
        setError("answer not written");
        return false;
    };
    // CR ends an acknowledgement; an answer without it is none.
    auto answer = [&](bool acknowledge) { return send(acknowledge ? "OK\r" : "OK\n"); };
    std::string pending;
    pending.reserve(2 * kMaxSerialLine);
    while (!timeToFinish()) {
        if (!port.readSome(pending, kMaxSerialLine, kPollMs, &m_waker)) {
            if (!m_waker.isSet()) setError("serial read failed");
            return;
        }
        m_delivered.flush();
        std::size_t from = 0;
        for (std::size_t lf; (lf = pending.find('\n', from)) != std::string::npos; from = lf + 1) {
            std::string_view line(pending.data() + from, lf - from);
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            const std::uint32_t receivedUs = wallUs32();
            if (startsWith(line, "systime")) {
                ++m_syncs;
                if (!send("OK\r")) return;
            } else if (!onChannelLine(line, receivedUs, answer)) {
                return;
            }
        }
        pending.erase(0, from);
        if (pending.size() > kMaxSerialLine) {
            ++m_overlong;
            pending.clear();
        }
    }
}

MonitorSnapshot MonitorSim::snapshot() const {
    MonitorSnapshot s;
    s.received = m_received;
    s.acked = m_acked;
    s.events = m_events;
    s.other = m_other;
    s.syncs = m_syncs;
    s.keepAlives = m_keepAlives;
    s.connects = m_connects;
    s.reconnects = s.connects > 0 ? s.connects - 1 : 0;
    s.overlong = m_overlong;
    s.connected = m_connected;
    const Millis end = m_finished ? m_end.load() : steadyClock().now();
    s.elapsedS = m_start > 0 ? static_cast<double>(end - m_start) / 1000.0 : 0.0;
    const Millis first = m_firstAck, last = m_lastAck;
    s.busyS = first >= 0 ? static_cast<double>(last - first) / 1000.0 : 0.0;
    std::lock_guard lock(m_statsMutex);
    s.repeaters = m_checker.repeaters();
    s.gaps = m_checker.gaps();
    s.missing = m_checker.missing();
    s.repeats = m_checker.repeats();
    s.untracked = m_checker.untracked();
    s.latencyCount = m_latency.count();
    s.latencyP50Us = m_latency.percentile(0.50);
    s.latencyP99Us = m_latency.percentile(0.99);
    s.latencyMaxUs = m_latency.max();
    s.lastError = m_lastError;
    return s;
}

LatencyHistogram MonitorSim::latencies() const {
    std::lock_guard lock(m_statsMutex);
    return m_latency;
}

}  // namespace kormlink::sim
