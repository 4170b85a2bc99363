#pragma once

// The monitoring-client simulator: takes the lines of one output channel from the server and
// answers them the way a monitoring station would, or a chosen misbehaviour of one, and checks
// what arrives.
//
// Over TCP it connects to the output port, reads the greeting, names its channel and answers
// every line; when the connection breaks or is refused it connects again with a short backoff,
// until stopped. As the serial output's receiver it reads LF-ended lines from a serial device
// and acknowledges them with CR. Time-sync ("systime...") and keep-alive ("@") lines are
// answered at once and are not events.
//
// For every acknowledged event line that carries simulator data (sim_line.h) it checks the
// per-repeater sequence number (gaps, repeats), records the latency from the send stamp to the
// receipt in microseconds (optionally only after a warm-up from the first event on) and, when
// asked, appends "<repeater Id> <seq>" to a file.
//
// Threads: MonitorSim runs its conversation on one worker thread of its own; start(), stop(),
// finished(), waitFinished() and snapshot() may be called from any other thread.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <unordered_map>
#include <vector>

#include "platform/clock.h"
#include "platform/tcp.h"
#include "sim_line.h"

namespace kormlink {
class SerialPort;
}

namespace kormlink::sim {

// Per-repeater order of sequence numbers. A number above last+1 is a gap (the numbers in
// between are missing); one at or below the highest seen is a repeat (a line delivered again,
// as after a server restart). The first number of a repeater starts its count without a gap,
// since the simulator may join a queue that an earlier run had partly taken.
//
// At most maxRepeaters repeaters are tracked; events of further repeaters are only counted as
// untracked, so a stream of random Ids cannot grow the map without bound.
class SequenceChecker {
public:
    enum class Verdict { First, InOrder, Gap, Repeat, Untracked };

    explicit SequenceChecker(std::size_t maxRepeaters = kDefaultMaxRepeaters);
    Verdict note(std::uint32_t repeaterId, std::uint32_t seq);

    std::uint64_t gaps() const { return m_gaps; }
    std::uint64_t missing() const { return m_missing; }
    std::uint64_t repeats() const { return m_repeats; }
    std::uint64_t untracked() const { return m_untracked; }
    std::size_t repeaters() const { return m_last.size(); }

    static constexpr std::size_t kDefaultMaxRepeaters = 1u << 20;

private:
    std::size_t m_max;
    std::unordered_map<std::uint32_t, std::uint32_t> m_last;  // repeater Id -> highest seq
    std::uint64_t m_gaps = 0;
    std::uint64_t m_missing = 0;
    std::uint64_t m_repeats = 0;
    std::uint64_t m_untracked = 0;
};

// Microseconds from a send stamp to a receipt, both wall-clock microseconds modulo 2^32: the
// signed 32-bit difference, so a latency is right across the wrap (every 71 minutes) as long as
// it is below 35 minutes. A receipt "before" the send (clocks a little apart) counts as 0.
inline std::uint32_t latencyUs(std::uint32_t sentUs, std::uint32_t receivedUs) {
    const auto diff = static_cast<std::int32_t>(receivedUs - sentUs);
    return diff < 0 ? 0u : static_cast<std::uint32_t>(diff);
}

// Latencies in microseconds, in log-linear buckets: values below 2 * kSubBuckets each have a
// bucket of their own; above, every power of two [2^e, 2^(e+1)) is cut into kSubBuckets buckets
// of equal width, so a bucket is at most 1/kSubBuckets (1.6 %) of its values wide. Constant
// memory over the whole 32-bit range; the maximum is exact.
class LatencyHistogram {
public:
    static constexpr int kSubBits = 6;
    static constexpr std::uint32_t kSubBuckets = 1u << kSubBits;
    static constexpr std::size_t kBucketCount = 2 * kSubBuckets + (31 - kSubBits) * kSubBuckets;

    LatencyHistogram();
    void add(std::uint32_t us);
    std::uint64_t count() const { return m_count; }
    std::uint32_t max() const { return m_max; }
    // The latency at or below which the fraction q (0..1) of the samples lie: the upper end of
    // the bucket holding that sample (so never below the true value, and at most one bucket
    // width above it), and never above the maximum. 0 without samples.
    std::uint32_t percentile(double q) const;

    static std::size_t bucketOf(std::uint32_t us);
    // The values of a bucket: lowerBound(b) <= us < upperBound(b) (upperBound is 64 bits wide,
    // for the last bucket ends at 2^32).
    static std::uint32_t lowerBound(std::size_t bucket);
    static std::uint64_t upperBound(std::size_t bucket);
    std::uint64_t bucketCount(std::size_t bucket) const { return m_buckets[bucket]; }

    // "lower_us upper_us count" for every bucket that holds samples, in order, after a comment
    // line; what `monsim --histogram` writes.
    std::string toText() const;

private:
    std::vector<std::uint64_t> m_buckets;
    std::uint64_t m_count = 0;
    std::uint32_t m_max = 0;
};

// How lines are answered.
enum class AnswerMode {
    Ack,    // at once, with "OK" (serial: "OK\r")
    Delay,  // the same after a delay
    Empty,  // TCP: an empty line, so the server sends the line again; serial: "OK\n", which
            // lacks the CR and so is no acknowledgement either (the server repeats after 5 s)
    Never,  // no answer: the server gives up after 5 s and keeps the line
};
std::optional<AnswerMode> parseAnswerMode(std::string_view text);
const char* answerModeName(AnswerMode mode);

struct MonitorOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 950;
    std::string channel;       // the channel Id named after the greeting
    std::string serialDevice;  // non-empty: be the serial output's receiver on this device
    std::int32_t baud = 9600;
    AnswerMode mode = AnswerMode::Ack;
    Millis delayMs = 0;         // for AnswerMode::Delay
    std::string deliveredPath;  // non-empty: append "<Id> <seq>" per acknowledged event
    Millis durationMs = 0;      // > 0: finish after this long
    Millis idleExitMs = 0;      // > 0: finish when no channel line arrived for this long
    Millis silenceMs = 0;       // > 0: a connection that brought no line for this long is given
                                // up and made again (the server may have gone with its address)
    Millis warmupMs = 0;  // latencies are recorded only from this long after the first event
    std::size_t maxRepeaters = SequenceChecker::kDefaultMaxRepeaters;
};

// Counters and figures at one moment.
struct MonitorSnapshot {
    std::uint64_t received = 0;    // channel lines received (resent ones again), not syncs/@
    std::uint64_t acked = 0;       // channel lines answered with an acknowledgement
    std::uint64_t events = 0;      // acknowledged lines carrying simulator data
    std::uint64_t other = 0;       // acknowledged lines without it (status and foreign lines)
    std::uint64_t syncs = 0;       // "systime" lines answered
    std::uint64_t keepAlives = 0;  // "@" lines answered
    std::uint64_t repeaters = 0;
    std::uint64_t gaps = 0;
    std::uint64_t missing = 0;
    std::uint64_t repeats = 0;
    std::uint64_t untracked = 0;
    std::uint64_t latencyCount = 0;  // events whose latency was recorded (after the warm-up)
    std::uint32_t latencyP50Us = 0;
    std::uint32_t latencyP99Us = 0;
    std::uint32_t latencyMaxUs = 0;
    std::uint64_t connects = 0;    // sessions begun (greeting read, or serial device opened)
    std::uint64_t reconnects = 0;  // sessions after the first
    std::uint64_t overlong = 0;    // input dropped for exceeding the line cap
    double busyS = 0;              // from the first acknowledgement to the last
    bool connected = false;
    double elapsedS = 0;
    std::string lastError;  // the last connection failure, for the progress line
};

// The summary as one line of key=value pairs, beginning with "monsim:".
std::string formatSummary(const MonitorSnapshot& s);

// Appends "<repeater Id, 6 hex digits> <seq>" lines to a file through a buffer written out when
// it grows large or is older than kFlushMs, so the hot path makes no system call per line.
class DeliveredLog {
public:
    static constexpr Millis kFlushMs = 200;
    // Opens path for appending (created when missing); error set when it cannot.
    bool open(const std::string& path, std::string* error);
    void add(std::uint32_t repeaterId, std::uint32_t seq);
    // Writes the buffer when it is due (or always with force).
    void flush(bool force = false);
    ~DeliveredLog();

private:
    int m_fd = -1;
    std::string m_buffer;
    Millis m_since = 0;  // when the oldest unwritten entry was added
};

class MonitorSim {
public:
    explicit MonitorSim(MonitorOptions options);
    ~MonitorSim();  // stops
    MonitorSim(const MonitorSim&) = delete;
    MonitorSim& operator=(const MonitorSim&) = delete;

    // Opens the delivered file and starts the worker. False with error set when the file
    // cannot be opened or the options lack a channel or device.
    bool start(std::string* error);
    // Asks the worker to finish and waits for it; the file is flushed. Idempotent.
    void stop();
    // Asks the worker to finish without waiting; safe from a signal-watching thread.
    void requestStop() { m_waker.wake(); }
    // True once the worker ended by itself (duration or idle limit) or was stopped.
    bool finished() const { return m_finished.load(); }
    bool waitFinished(Millis timeoutMs);
    MonitorSnapshot snapshot() const;
    LatencyHistogram latencies() const;

private:
    void run();
    void runTcp();
    void runSerial();
    // One conversation, until the link breaks or it is time to finish.
    void serveTcp(TcpSocket& socket, std::string& line);
    void serveSerial(SerialPort& port);
    // Sleeps up to ms; false when a stop was requested meanwhile.
    bool pause(Millis ms);
    bool timeToFinish();
    void noteArrival() { m_lastArrival = steadyClock().now(); }
    // Handles one channel line (not a sync or keep-alive): counts it, answers it as the mode
    // says and, once acknowledged, checks and records it. sendAnswer(true) sends an
    // acknowledgement, sendAnswer(false) an answer that is none; both return false when the
    // link failed. False when the conversation should end.
    template <typename SendAnswer>
    bool onChannelLine(std::string_view line, std::uint32_t receivedUs, SendAnswer&& sendAnswer);
    void setError(std::string text);

    MonitorOptions m_options;
    Waker m_waker;
    std::thread m_thread;
    std::atomic<bool> m_finished{false};
    std::atomic<bool> m_running{false};
    std::mutex m_doneMutex;
    std::condition_variable m_doneCv;

    std::atomic<Millis> m_start{0};
    std::atomic<Millis> m_lastArrival{0};
    DeliveredLog m_delivered;
    bool m_logDelivered = false;

    // Written by the worker; the mutex guards what snapshot() reads that is not atomic.
    mutable std::mutex m_statsMutex;
    SequenceChecker m_checker;
    LatencyHistogram m_latency;
    std::string m_lastError;
    std::atomic<std::uint64_t> m_received{0}, m_acked{0}, m_events{0}, m_other{0}, m_syncs{0},
        m_keepAlives{0}, m_connects{0}, m_overlong{0};
    std::atomic<bool> m_connected{false};
    std::atomic<Millis> m_end{0};
    std::atomic<Millis> m_firstAck{-1}, m_lastAck{-1};
    Millis m_firstEvent = -1;  // worker only: when the first event arrived, for the warm-up
};

}  // namespace kormlink::sim
