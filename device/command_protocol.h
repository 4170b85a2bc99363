#pragma once

// The command exchanges with one repeater, for both kinds of connection (TCP and the serial
// link). A connection hands its pending command line to DispatchCommand when a line from the
// repeater gives it the word:
//   - "?upfirm" anywhere: the firmware version check ("dicfg"); at 3.0 or more the line stays
//     pending in its ":upfirm" form for the next pass;
//   - ":upfirm": the firmware upload from the HEX file named after "|";
//   - ":upee": the configuration upload (the editor's image, or the file named after "|");
//   - "prog": the version and channel query, then (unless "prog-") the configuration download;
//   - anything else: sent as it stands.
// Everything here runs on the thread that has the connection for the exchange (the serial
// link's own, or an exchange thread of a TCP connection); what the operator sees goes through
// the ExchangeIo hand-overs to the main thread.

#include <cstdint>
#include <memory>
#include <string>

#include "platform/clock.h"
#include "platform/ini.h"

namespace kormlink {

class ProgramEditor;

enum class ReplyStatus {
    Line,     // a line arrived (possibly empty)
    Timeout,  // nothing within the time
    Broken,   // the connection is gone, or the connection was told to stop
};

// What an exchange needs from its connection. Implemented by the TCP connection and the serial
// link; called on the connection's thread only.
class ExchangeIo {
public:
    virtual ~ExchangeIo() = default;
    virtual bool isSerial() const = 0;
    virtual std::uint32_t linkId() const = 0;  // HpId
    // One reply line within the time (the trace window sees it). The serial link reports a time
    // out as an empty line, as its reader cannot tell them apart.
    virtual ReplyStatus readReply(std::string& line, Millis timeoutMs) = 0;
    // Sends text as it stands (the caller adds CR LF); the trace window sees it.
    virtual void sendText(const std::string& text) = 0;
    // The repeater's first reply bytes after an upload command, or "" after about 60 s.
    virtual std::string waitForPrompt() = 0;
    // Pauses, less when the connection is told to stop.
    virtual void pauseMs(Millis ms) = 0;
    // The connection has been told to stop: an exchange ends where it is.
    virtual bool stopRequested() const = 0;
    virtual IniFile readConfig() const = 0;
    virtual Millis now() const = 0;
    // Main-thread hand-overs.
    virtual void show(const std::string& text) = 0;           // the command window
    virtual void writeEventLog(const std::string& text) = 0;  // the daily event log
    // An error box (caption "Error"); returns when the operator has closed it.
    virtual void errorBox(const std::string& text) = 0;
};

// A connection's command state handed to DispatchCommand.
struct CommandContext {
    std::string cmd;                        // the command line taken from PendingCmd
    std::shared_ptr<ProgramEditor> editor;  // the editor of a programming request, if any
    std::string ack;                        // the batch acknowledgement due (TCP only)
    Millis loadDelay = 5000;                // reply time-out of exchanges
    Millis ackDelay = 1;                    // pause before a plain command (TCP only)
};

struct DispatchResult {
    // The line the pass goes on with when an exchange read replies (the key line or the last
    // line read); nullopt keeps the line that was received.
    bool replacesLine = false;
    std::string line;
    // A command line that stays pending for the next pass (the ":upfirm" form after a passed
    // version check); empty when none.
    std::string stillPending;
    std::shared_ptr<ProgramEditor> editor;  // goes with stillPending
};

// Carries out one command line. Never throws for protocol failures; they are shown.
DispatchResult DispatchCommand(ExchangeIo& io, const CommandContext& ctx);

// A command line that is sent as it stands: none of the exchange words occurs in it.
bool isPlainCommand(const std::string& cmd);

// Longest silence of a repeater in the middle of an exchange before it is given up as failed.
inline constexpr Millis kExchangeSilenceLimitMs = 60'000;
// Most reply lines one exchange takes (a whole configuration is 359 records); a repeater that
// talks on beyond it fails the exchange instead of holding the connection and growing memory.
inline constexpr std::size_t kExchangeLineLimit = 5000;

// The firmware version that an "MCP" line carries after its first five characters: the
// leading decimal number (digits with an optional decimal point), 0 when there is none.
double parseMcpVersion(const std::string& line);

}  // namespace kormlink
