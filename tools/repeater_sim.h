#pragma once

// RepeaterSim: simulated repeaters that talk to the server's input port (or one repeater on a
// serial line), for installers who test an installation without radios, and for soak tests.
//
// Each simulated repeater plays the repeater's side of the protocol: it takes the greeting and
// answers every time command with "OK", sends event lines (sim_line.h layout: a sequence
// number per repeater from 1 and the send time) one at a time or in numbered batches, waits
// for each answer before the next (stop-and-wait), and sends an event or batch again, with the
// same sequence numbers, when its answer does not come within the answer time-out or the
// connection breaks. It answers the device exchanges the server starts: "dicfg" with its
// version and channels, ":loadee" with its configuration image in blocks of 21 records, and the
// ":upfirm" / ":upee" uploads with the "Wait for HEX" prompt and a check of the line count.
// Other command lines are shown and answered "OK". No events are sent while an exchange runs.
//
// All repeaters run on one event-loop thread over non-blocking sockets (epoll), with a sorted
// schedule of wake-up times, so a thousand repeaters need no thousand threads. Every buffer fed
// by the server has a cap; every wait has a time-out.
//
// Thread-safety: start(), stop() and the destructor from one controlling thread; counters(),
// done(), connected(), allConnectedAfterMs() and resetOneConnection() from any thread. The
// notice callback runs on the loop thread.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/clock.h"

namespace kormlink::sim {

struct RepeaterSimOptions {
    std::string host = "127.0.0.1";
    std::uint16_t port = 910;
    std::string serialDevice;  // non-empty: one repeater on this serial device instead of TCP
    std::int32_t baud = 9600;
    int repeaters = 1;
    std::uint32_t firstId = 0x100001;
    double rate = 0;          // events per second per repeater; 0: as fast as the answers allow
    int batch = 0;            // K > 0: numbered batches of K lines; 0: plain lines
    double statusEvery = 0;   // seconds between status lines of a repeater; 0: none
    std::uint64_t count = 0;  // events per repeater; 0: unlimited
    bool idle = false;  // connect, take the greeting, answer commands; send no events or status
    Millis answerTimeoutMs = 5000;
    Millis connectTimeoutMs = 3000;
    Millis backoffMaxMs = 2000;  // longest wait before connecting again (doubling from 200 ms)
    std::string mcpVersion = "3.1";
    std::vector<std::string> image;  // HEX records served to ":loadee"; empty: builtInImage()
    std::string ackedFile;           // non-empty: "<Id> <seq>" of every acknowledged event
    std::string uploadFile;  // non-empty: the lines of the last accepted upload (":upee" or
                             // ":upfirm"), replaced after each one
    // Commands shown, exchanges and upload results, connection trouble. Loop thread.
    std::function<void(const std::string&)> notice;
};

struct RepeaterSimCounters {
    std::uint64_t sent = 0;           // events sent for the first time
    std::uint64_t acked = 0;          // events acknowledged
    std::uint64_t resent = 0;         // event lines sent again (time-out, reconnect, mismatch)
    std::uint64_t batches = 0;        // batches acknowledged with their count
    std::uint64_t batchMismatch = 0;  // batch answers with another count, or none
    std::uint64_t status = 0;         // status lines sent
    std::uint64_t reconnects = 0;     // connections made after the first one of a repeater
    std::uint64_t commands = 0;       // plain command lines answered "OK"
    std::uint64_t dicfg = 0;          // "dicfg" queries answered
    std::uint64_t downloads = 0;      // ":loadee" downloads completed (the server said OK)
    std::uint64_t uploadsOk = 0;      // uploads whose line count matched the "C/" line
    std::uint64_t uploadsBad = 0;     // uploads with another count, or cut short
    std::uint64_t systime = 0;        // time commands answered
};

class RepeaterSim {
  public:
    explicit RepeaterSim(RepeaterSimOptions options);
    ~RepeaterSim();  // stops as stop() does
    RepeaterSim(const RepeaterSim&) = delete;
    RepeaterSim& operator=(const RepeaterSim&) = delete;

    // Opens the acked file and the serial device (when given) and starts the loop thread.
    // False with error set when one of them cannot be opened.
    bool start(std::string* error);
    // Stops sending, waits up to the answer time-out for the answers still outstanding, closes
    // every connection, writes the acked file and ends the loop thread. Idempotent.
    void stop();

    // True when count > 0 and every repeater has all its events acknowledged.
    bool done() const;
    // Repeaters connected and past the greeting now.
    int connected() const;
    // Milliseconds from start() to the first moment every repeater was connected and past the
    // greeting at once; -1 until then.
    Millis allConnectedAfterMs() const;
    RepeaterSimCounters counters() const;
    // Resets one randomly chosen connected repeater abortively (the server sees a connection
    // reset); it reconnects as after any broken connection. TCP only.
    void resetOneConnection();

  private:
    struct Impl;
    std::unique_ptr<Impl> m;
};

// The configuration image a repeater serves without --image: valid data records for part of
// the address mask table (0x0000-0x00FF: byte i is (7 * i) & 0xFF), the general block
// (0x1000-0x103F: 0x40 + i) and the network block (0x1100-0x119F: byte i is i), and the end
// record; 31 records.
std::vector<std::string> builtInImage();

// The records of an Intel HEX file (lines beginning with ":"; other lines skipped). nullopt
// with error set when the file cannot be read, is larger than 1 MiB, holds no record or holds
// a malformed record.
std::optional<std::vector<std::string>> readImageFile(const std::string& path, std::string* error);

// What the summary line tells besides the counters.
struct RunFigures {
    int repeaters = 0;
    double elapsedS = 0;
    int connectedAtEnd = 0;      // connected when sending ended, before the stop
    Millis allConnectedMs = -1;  // RepeaterSim::allConnectedAfterMs()
    // The measured window: from the end of the warm-up to the end of sending, without the
    // connect ramp before it and the wait for the last answers after it.
    double windowS = 0;
    std::uint64_t windowAcked = 0;  // events acknowledged within it
};

// One line of key=value pairs for scripts: "rptsim: repeaters=... acked_per_s=... connected=...
// all_connected_s=... window_s=... window_acked=... window_acked_per_s=...".
std::string summaryLine(const RepeaterSimCounters& c, const RunFigures& f);

}  // namespace kormlink::sim
