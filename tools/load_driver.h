#pragma once

// LoadDriver: the benchmark's own load generator, one code shape for both servers it compares,
// so that a figure of the relay and one of a common MQTT broker differ by the server and not by
// the program that measured them.
//
// Connections are spread over a few worker threads; each thread drives its share over
// non-blocking sockets with one epoll set and a sorted schedule of wake-up times, as rptsim
// does. A sending connection sends one message and waits for its answer before the next
// (stop-and-wait), as fast as answered or at a given rate; a receiving connection takes the
// messages of a channel or topic, acknowledges each at once and records the latency from the
// send stamp in its payload to the receipt. Two flavours:
//   Kormlink  sending: the repeater's side of the input port (greeting, time command answered
//             "OK", one event line, its answer line); receiving: a monitoring client on the
//             output port (greeting "Kormlink", the channel Id, every line answered "OK").
//   Mqtt      sending: CONNECT (clean session), PUBLISH with QoS 1, its PUBACK; receiving:
//             CONNECT, SUBSCRIBE with QoS 1, a PUBACK for every PUBLISH.
// Both send the same 74 bytes per message: a 72-character event line of the simulators' layout
// (sim_line.h, with the sequence number and the send stamp) and CR LF.
//
// A connect() that fails, or a connection that brings no greeting within the connect time-out,
// is retried after a backoff and counted; so is a connection that breaks or leaves an answer
// out past the answer time-out (its message is sent again on the next connection). Nothing is
// hidden: the counters tell every retry.
//
// Thread-safety: start() and stop() from one controlling thread; everything else from any.

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "monitor_sim.h"
#include "platform/clock.h"

namespace kormlink::sim {

enum class LoadFlavour { Kormlink, Mqtt };

struct LoadPlan {
    LoadFlavour flavour = LoadFlavour::Kormlink;
    std::string host = "127.0.0.1";
    std::uint16_t port = 0;
    int connections = 1;
    int threads = 2;
    bool receiver = false;             // receive and acknowledge instead of sending
    std::uint64_t perConnection = 0;   // messages each sending connection sends; 0: until stopped
    double rate = 0;                   // messages/s per sending connection; 0: as fast as answered
    std::uint32_t firstId = 0x300001;  // the repeater Id of the first connection
    std::string channel;               // Kormlink receiver: the channel Id; Mqtt: the topic
    std::string clientPrefix = "klbench";  // Mqtt client identifiers: prefix + index
    bool cleanSession = true;              // Mqtt receiver: false makes a persistent session
    bool leaveAfterSubscribe = false;      // Mqtt receiver: DISCONNECT once subscribed, stay away
    // From connect() to the greeting (CONNACK, SUBACK). A connection that found the accept
    // queue full sends its SYN again after 1, 3, 7 and 15 s: it is not given up just then.
    Millis connectTimeoutMs = 20'000;
    Millis answerTimeoutMs = 10'000;
};

struct LoadCounters {
    std::uint64_t sent = 0;            // messages sent for the first time
    std::uint64_t acked = 0;           // sending: answered; receiving: received and acknowledged
    std::uint64_t resent = 0;          // sent again on a new connection
    std::uint64_t connectRetries = 0;  // attempts that failed or timed out before the greeting
    std::uint64_t broken = 0;          // connections lost after the greeting, made again
    std::uint64_t answerTimeouts = 0;  // of those: no answer within the answer time-out
    int greeted = 0;                   // connections past the greeting (and SUBACK) now
    int greetedOnce = 0;               // connections that were greeted at least once
    Millis slowestGreetingMs = -1;     // the longest from a first connect() to its greeting
    Millis allGreetedMs = -1;          // from start() until every connection had been greeted
    Millis allAnsweredMs = -1;         // until every perConnection message was answered
    std::string lastError;             // the last connection trouble, for the reader
    // Why connect retries were made, with how many of each; the most frequent first.
    std::vector<std::pair<std::string, std::uint64_t>> retryReasons;
};

class LoadDriver {
  public:
    explicit LoadDriver(LoadPlan plan);
    ~LoadDriver();  // stops as stop(0) does
    LoadDriver(const LoadDriver&) = delete;
    LoadDriver& operator=(const LoadDriver&) = delete;

    // Starts the worker threads, which begin connecting at once. False with error set when
    // they cannot be set up.
    bool start(std::string* error);
    // Stops sending, waits up to drainMs for the answers still outstanding, closes every
    // connection and ends the threads. Idempotent.
    void stop(Millis drainMs);

    LoadCounters counters() const;
    // Latencies are recorded from this steady-clock moment on (receiving connections).
    void recordLatenciesFrom(Millis at);
    LatencyHistogram latencies() const;

  private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

}  // namespace kormlink::sim
