#include "device/command_protocol.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <vector>

#include "config_image/intel_hex.h"
#include "config_image/message_catalog.h"
#include "device/program_editor.h"
#include "platform/files.h"
#include "core/event_line.h"

namespace kormlink {
namespace {

constexpr std::string_view kCrLfText = "\r\n";
constexpr Millis kPromptLength = 14;
constexpr Millis kFinalReplyFirmwareMs = 5000;
constexpr Millis kFinalReplyImageMs = 500;

// The lines of a text file; nullopt when it cannot be read (an empty file has no lines).
std::optional<std::vector<std::string>> readTextLinesChecked(const std::string& path) {
    if (path.empty() || !readWholeFile(path)) return std::nullopt;
    return readTextLines(path);
}

std::string wrongVersion(double version) { return messageCatalog().formatWrongVersion(version); }

std::string waitTimeout() { return message(MessageId::sWaitTimeout); }

bool contains(const std::string& text, std::string_view part) {
    return text.find(part) != std::string::npos;
}

// Why an exchange ended early.
enum class Failure { None, Broken, Silent };

// Reads replies for an exchange. TCP in abort-on-error mode fails on a time-out; otherwise a
// time-out reads as an empty line, but silence beyond kExchangeSilenceLimitMs fails.
class ReplyReader {
public:
    ReplyReader(ExchangeIo& io, Millis timeoutMs, bool abortOnTimeout)
        : m_io(io), m_timeout(timeoutMs), m_abort(abortOnTimeout), m_lastHeard(io.now()) {}

    std::optional<std::string> next() {
        if (++m_lines > kExchangeLineLimit) {
            m_failure = Failure::Silent;
            return std::nullopt;
        }
        std::string line;
        const Millis wait = std::min<Millis>(m_timeout, kExchangeSilenceLimitMs);
        ReplyStatus status = m_io.readReply(line, std::max<Millis>(wait, 1));
        if (status == ReplyStatus::Broken) {
            m_failure = Failure::Broken;
            return std::nullopt;
        }
        const Millis now = m_io.now();
        if (status == ReplyStatus::Timeout || (m_io.isSerial() && line.empty())) {
            if (status == ReplyStatus::Timeout && m_abort) {
                m_failure = Failure::Silent;
                return std::nullopt;
            }
            if (now - m_lastHeard >= kExchangeSilenceLimitMs) {
                m_failure = Failure::Silent;
                return std::nullopt;
            }
            return std::string();
        }
        m_lastHeard = now;
        return line;
    }
    Failure failure() const { return m_failure; }

private:
    ExchangeIo& m_io;
    Millis m_timeout;
    bool m_abort;
    Millis m_lastHeard;
    std::size_t m_lines = 0;
    Failure m_failure = Failure::None;
};

struct DeviceInfo {
    double version = 0;
    std::string keyLine;
    std::string lastLine;
    Failure failure = Failure::None;
};

// "dicfg": reads replies until a line beginning with "OK", noting the version and the line that
// begins with key.
DeviceInfo QueryDeviceInfo(ExchangeIo& io, const std::string& key, const std::string& ack,
                           Millis loadDelay, bool abortOnTimeout) {
    DeviceInfo info;
    const std::string prefix = io.isSerial() ? std::string() : ack;
    io.sendText(prefix + "dicfg" + std::string(kCrLfText));
    io.show("->" + prefix + "dicfg");
    ReplyReader reader(io, loadDelay, abortOnTimeout);
    for (;;) {
        std::optional<std::string> line = reader.next();
        if (!line) {
            info.failure = reader.failure();
            return info;
        }
        io.show("->" + *line);
        info.lastLine = *line;
        if (startsWith(*line, "MCP")) info.version = parseMcpVersion(*line);
        if (startsWith(*line, key)) info.keyLine = *line;
        if (startsWith(*line, "OK")) return info;
    }
}

void failExchange(ExchangeIo& io, const std::shared_ptr<ProgramEditor>& editor) {
    io.errorBox(waitTimeout());
    if (editor) editor->image().TransferState = kTransferFailed;
}

// Version and channel query, then the download of the configuration records.
bool DownloadConfig(ExchangeIo& io, const std::string& code, ProgramEditor& editor,
                    const CommandContext& ctx, DispatchResult& result, Failure& failure) {
    const bool abortOnTimeout = !io.isSerial();
    DeviceInfo info = QueryDeviceInfo(io, "ActiveChCount", ctx.ack, ctx.loadDelay, abortOnTimeout);
    result.replacesLine = true;
    result.line = info.lastLine;
    if (info.failure != Failure::None) {
        failure = info.failure;
        return false;
    }
    if (info.version < 3.0) {
        io.errorBox(wrongVersion(info.version));
        return false;
    }
    tCfgImage& image = editor.image();
    for (int n = 1; n <= kChannels; ++n) {
        const std::string tag = "CH" + std::to_string(n) + "(";
        const std::size_t at = info.keyLine.find(tag);
        bool present = at != std::string::npos &&
                       info.keyLine.compare(at + tag.size(), 2, "NA") != 0;
        image.ChannelPresent[static_cast<std::size_t>(n - 1)] = present ? 1 : 0;
    }
    if (startsWith(code, "-")) return true;

    io.sendText(std::string(kCrLfText));
    const std::string request = code + ":loadee";
    io.sendText(request + std::string(kCrLfText));
    io.show("->" + request);

    // The longest Intel HEX record (255 data bytes) has 521 characters; a longer line is no
    // record and is not kept, so what a download holds stays within kExchangeLineLimit such
    // records whatever the peer sends.
    constexpr std::size_t kMaxRecordChars = 1 + 2 + 4 + 2 + 2 * 255 + 2;
    std::vector<std::string> records;
    std::size_t dropped = 0;
    int block = 0;
    ReplyReader reader(io, ctx.loadDelay, abortOnTimeout);
    for (;;) {
        std::optional<std::string> line = reader.next();
        if (!line) {
            failure = reader.failure();
            return false;
        }
        // The pass goes on with the last line of the version query, not of the download.
        if (line->empty()) {
            io.show("<-");
            if (block == 21) {
                const std::string count = "C/" + std::to_string(records.size());
                io.show("-> " + count + std::string(kCrLfText));
                block = 0;
                io.sendText(count + std::string(kCrLfText));
            }
            continue;
        }
        io.show("<-" + *line);
        if (startsWith(*line, "#4")) {
            if (line->size() - 2 <= kMaxRecordChars) {
                records.push_back(line->substr(2));
            } else {
                ++dropped;
            }
            ++block;
        } else if (io.isSerial() && contains(*line, "ERROR")) {
            break;  // the download ends without a reply; the records so far are kept
        } else if (startsWith(*line, "C/")) {
            io.show("->OK");
            io.sendText("OK" + std::string(kCrLfText));
            break;
        }
    }
    if (dropped > 0)
        io.show("prog: " + std::to_string(dropped) +
                " line(s) too long for a record were dropped");
    editor.LoadImageFromHex(records);
    return true;
}

void RunProg(ExchangeIo& io, const CommandContext& ctx, DispatchResult& result) {
    io.show(std::string(22, '-'));
    // The first four characters ("prog" in the lines the command window writes) go; the rest is
    // the installer code, "-", or nothing.
    const std::string code = ctx.cmd.size() > 4 ? ctx.cmd.substr(4) : "";
    // A command line without an editor behind it (typed, or from the console) runs against a
    // scratch image that is dropped afterwards.
    std::shared_ptr<ProgramEditor> editor = ctx.editor;
    const bool scratch = !editor;
    if (scratch) editor = std::make_shared<ScratchEditor>();
    Failure failure = Failure::None;
    const bool ok = DownloadConfig(io, code, *editor, ctx, result, failure);
    editor->image().TransferState = ok ? kTransferDone : kTransferFailed;
    if (failure != Failure::None) failExchange(io, editor);
    if (scratch && ok) io.show("prog: done without an editor; the downloaded image was not kept");
}

// Waits for the repeater's upload prompt; false when the upload must not go on (after "......."
// when nothing came, silently when the reply is something else).
bool awaitPrompt(ExchangeIo& io) {
    const std::string reply = io.waitForPrompt();
    if (reply.empty()) {
        io.show(".......");
        return false;
    }
    if (!contains(reply, "Wait for HEX")) return false;
    io.show("<-" + reply);
    return true;
}

// Sends the non-empty lines one line pause apart (paced by time alone); returns how many, or
// nullopt when the connection was told to stop part-way (the rest must not be rushed out).
std::optional<std::uint16_t> sendPaced(ExchangeIo& io, const std::vector<std::string>& lines,
                                       Millis linePause) {
    std::uint16_t count = 0;
    for (const std::string& line : lines) {
        if (io.stopRequested()) return std::nullopt;
        if (line.empty()) continue;
        io.show("->" + line);
        io.sendText(line + std::string(kCrLfText));
        ++count;
        io.pauseMs(linePause);
    }
    return count;
}

// Reads and shows the one reply that ends an upload ("<-" alone when none came in time).
void showFinalReply(ExchangeIo& io, Millis timeoutMs) {
    std::string last;
    if (io.readReply(last, timeoutMs) != ReplyStatus::Line) last.clear();
    io.show("<-" + last);
}

void UploadFirmware(ExchangeIo& io, const CommandContext& ctx) {
    const Millis linePause = io.readConfig().readInteger("upee", "delay", 50);
    const std::size_t bar = ctx.cmd.find('|');
    const std::string wire = ctx.cmd.substr(0, bar);
    const std::string path = bar == std::string::npos ? std::string() : ctx.cmd.substr(bar + 1);
    auto lines = readTextLinesChecked(path);
    if (!lines) {
        io.show("File " + path + " not found");
        return;
    }
    // A corrupt file must never reach a repeater: every record is checked before anything is
    // sent.
    std::string reason;
    if (std::size_t bad = findBadHexLine(*lines, &reason); bad != 0) {
        io.show("File " + path + ": line " + std::to_string(bad) + " is no valid HEX record (" +
                reason + "); nothing was sent");
        return;
    }
    const std::string ack = io.isSerial() ? std::string() : ctx.ack;
    io.show("->" + ack + wire);
    io.sendText(ack + wire + std::string(kCrLfText));
    io.show("-> ok");
    if (!awaitPrompt(io)) return;
    const std::optional<std::uint16_t> count = sendPaced(io, *lines, linePause);
    if (!count) return;  // stopped: no count line for a stream the repeater did not get whole
    io.sendText("C/" + std::to_string(*count) + std::string(kCrLfText));
    showFinalReply(io, kFinalReplyFirmwareMs);
}

// The image of a ":upee" line that has no editor behind it: the file named after "|", with the
// channels present whose slot records the file carries.
std::shared_ptr<ProgramEditor> editorFromFile(const std::string& path) {
    auto lines = readTextLinesChecked(path);
    if (!lines) return nullptr;
    auto editor = std::make_shared<ScratchEditor>();
    tCfgImage& image = editor->image();
    LoadImageLines(image, *lines);
    for (int k = 1; k <= kChannels; ++k) {
        const tSlotRec& rec = image.Slots[static_cast<std::size_t>(k - 1)];
        bool carried = false;
        for (std::size_t i = 0; i <= 131 && !carried; ++i) carried = rec[i] != 0xFF;
        image.ChannelPresent[static_cast<std::size_t>(k - 1)] = carried ? 1 : 0;
    }
    return editor;
}

void UploadImage(ExchangeIo& io, const CommandContext& ctx) {
    const std::size_t bar = ctx.cmd.find('|');
    const std::string wire = ctx.cmd.substr(0, bar);
    std::shared_ptr<ProgramEditor> editor = ctx.editor;
    if (!editor) {
        const std::string path = bar == std::string::npos ? std::string() : ctx.cmd.substr(bar + 1);
        editor = editorFromFile(path);
        if (!editor) {
            io.show("File " + path + " not found");
            return;
        }
    }
    std::vector<std::string> lines;
    editor->BuildImageHex(lines);
    editor->image().TransferState = kTransferImageTaken;

    const Millis linePause = io.readConfig().readInteger("upee", "delay", 50);
    io.show("->" + wire);
    io.sendText(wire + std::string(kCrLfText));
    if (!awaitPrompt(io)) return;
    if (!sendPaced(io, lines, linePause)) return;
    showFinalReply(io, kFinalReplyImageMs);
}

void FirmwareUpdateRequest(ExchangeIo& io, const CommandContext& ctx, DispatchResult& result) {
    DeviceInfo info = QueryDeviceInfo(io, "MCP", ctx.ack, ctx.loadDelay, false);
    result.replacesLine = true;
    result.line = info.keyLine;
    if (info.failure == Failure::Silent) {
        io.errorBox(waitTimeout());
        return;
    }
    if (info.failure == Failure::Broken) return;
    if (info.version < 3.0) {
        io.errorBox(wrongVersion(info.version));
        return;
    }
    std::string next = ctx.cmd;
    next[next.find("?upfirm")] = ':';
    result.stillPending = next;
    result.editor = ctx.editor;
}

}  // namespace

double parseMcpVersion(const std::string& line) {
    if (line.size() <= 5) return 0;
    const std::string_view rest = trimLine(std::string_view(line).substr(5));
    // Digits with an optional decimal point only: "nan", "inf" or hexadecimal forms must never
    // pass the version check.
    double value = 0, scale = 0;
    bool digits = false;
    for (char c : rest) {
        if (c >= '0' && c <= '9') {
            digits = true;
            if (scale == 0) {
                value = value * 10 + (c - '0');
            } else {
                value += (c - '0') * scale;
                scale /= 10;
            }
        } else if (c == '.' && scale == 0) {
            scale = 0.1;
        } else {
            break;
        }
    }
    return digits ? value : 0;
}

bool isPlainCommand(const std::string& cmd) {
    return !contains(cmd, "?upfirm") && !contains(cmd, ":upfirm") && !contains(cmd, ":upee") &&
           !contains(cmd, "prog");
}

DispatchResult DispatchCommand(ExchangeIo& io, const CommandContext& ctx) {
    DispatchResult result;
    const std::string ack = io.isSerial() ? std::string() : ctx.ack;
    const std::string logText =
        hexId(io.linkId()) + ":" + std::string(trimLine("->" + ack + ctx.cmd));
    io.show(logText);
    if (contains(ctx.cmd, "?upfirm")) {
        FirmwareUpdateRequest(io, ctx, result);
    } else if (contains(ctx.cmd, ":upfirm")) {
        UploadFirmware(io, ctx);
    } else if (contains(ctx.cmd, ":upee")) {
        UploadImage(io, ctx);
    } else if (contains(ctx.cmd, "prog")) {
        RunProg(io, ctx, result);
    } else {
        io.writeEventLog(logText);
        if (!io.isSerial()) io.pauseMs(ctx.ackDelay);
        io.sendText(ack + ctx.cmd + std::string(kCrLfText));
    }
    return result;
}

}  // namespace kormlink
