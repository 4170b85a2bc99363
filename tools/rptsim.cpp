// rptsim: simulated repeaters for testing an installation without radios.
//
//   rptsim --host 10.0.0.5 --port 910 --repeaters 50 --rate 10
//
// Prints a progress line on stderr every few seconds and, at the end, one summary line of
// key=value pairs on stdout. SIGUSR1 resets one random repeater connection; SIGINT and SIGTERM
// stop the run in order (outstanding answers are awaited up to the answer time-out).

#include <signal.h>
#include <time.h>

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/clock.h"
#include "repeater_sim.h"
#include "tool_options.h"

using namespace kormlink;
using namespace kormlink::sim;

namespace {

const char* kUsage =
    "usage: rptsim [options]\n"
    "  --host H              server address (IPv4), default 127.0.0.1\n"
    "  --port P              server input port, default 910\n"
    "  --serial DEVICE       one repeater on this serial device instead of TCP\n"
    "  --baud B              serial speed, default 9600\n"
    "  --repeaters N         simulated repeaters, default 1\n"
    "  --first-id HEX        Id of the first repeater (six hex digits), default 100001\n"
    "  --rate R              events per second per repeater; 0 = as fast as answered (default)\n"
    "  --batch K             numbered batches of K lines; 0 = plain lines (default)\n"
    "  --status-every S      a status line every S seconds per repeater; 0 = none (default)\n"
    "  --count N             events per repeater; 0 = unlimited (default)\n"
    "  --duration S          seconds to run; 0 = until SIGINT/SIGTERM (default)\n"
    "  --warmup S            the summary's window_* figures count from S seconds after the\n"
    "                        start (after the connect ramp) to the end of sending; default 0\n"
    "  --idle                connect, take the greeting, answer commands, send no events\n"
    "  --acked FILE          append \"<Id> <seq>\" for every acknowledged event\n"
    "  --answer-timeout MS   an event or batch without answer after MS ends the connection and\n"
    "                        is sent again on the next one (a serial line resends at once);\n"
    "                        default 5000\n"
    "  --connect-timeout MS  default 3000\n"
    "  --backoff-max MS      longest wait before connecting again; the wait doubles from 200\n"
    "                        ms after each failed attempt; default 2000\n"
    "  --image FILE          Intel HEX configuration image for downloads (default built in)\n"
    "  --upload-file FILE    write the lines of each accepted upload to FILE (replaced each time)\n"
    "  --mcp-version V       firmware version reported to dicfg, default 3.1\n"
    "  --report-every S      progress line on stderr every S seconds; 0 = none; default 5\n"
    "  --quiet               do not show commands and exchanges\n"
    "  --help                this text\n";

struct Args {
    RepeaterSimOptions sim;
    double durationS = 0;
    double warmupS = 0;
    double reportEveryS = 5;
    bool quiet = false;
};

// Returns -1 to run, or the exit status after --help or a usage error.
int parse(int argc, char** argv, Args& a) {
    RepeaterSimOptions& o = a.sim;
    std::string imagePath;
    auto firstId = [&](const std::string& v) {
        char* end = nullptr;
        const unsigned long id = std::strtoul(v.c_str(), &end, 16);
        if (v.empty() || *end != '\0' || id == 0 || id > 0xFFFFFF) return std::string("bad");
        o.firstId = static_cast<std::uint32_t>(id);
        return std::string();
    };
    const ToolCommandLine line{.program = "rptsim",
                               .usage = kUsage,
                               .options = {text("host", o.host),
                                           number("port", o.port, 1, 65535),
                                           text("serial", o.serialDevice),
                                           number("baud", o.baud, 50, 4e6),
                                           number("repeaters", o.repeaters, 1, 20000),
                                           {"first-id", true, firstId},
                                           number("rate", o.rate, 0, 1e6),
                                           number("batch", o.batch, 0, 9999),
                                           number("status-every", o.statusEvery, 0, 1e6),
                                           number("count", o.count, 0, 4e9),
                                           number("duration", a.durationS, 0, 1e8),
                                           number("warmup", a.warmupS, 0, 1e8),
                                           text("acked", o.ackedFile),
                                           number("answer-timeout", o.answerTimeoutMs, 10, 3.6e6),
                                           number("connect-timeout", o.connectTimeoutMs, 10, 3.6e6),
                                           number("backoff-max", o.backoffMaxMs, 10, 3.6e6),
                                           text("image", imagePath),
                                           text("upload-file", o.uploadFile),
                                           text("mcp-version", o.mcpVersion),
                                           number("report-every", a.reportEveryS, 0, 1e6),
                                           flag("idle", o.idle),
                                           flag("quiet", a.quiet)}};
    if (int code = parseToolOptions(line, argc, argv); code >= 0) return code;
    if (o.firstId + static_cast<std::uint32_t>(o.repeaters) - 1 > 0xFFFFFF)
        return usageError(line, "the Ids pass FFFFFF");
    if (!imagePath.empty()) {
        std::string error;
        auto image = readImageFile(imagePath, &error);
        if (!image) {
            std::fprintf(stderr, "rptsim: %s\n", error.c_str());
            return 1;
        }
        o.image = std::move(*image);
    }
    if (!o.serialDevice.empty() && (o.repeaters != 1 || o.batch != 0))
        std::fprintf(stderr,
                     "rptsim: serial: one repeater, plain lines (the serial side "
                     "acknowledges no batches)\n");
    return -1;
}

double seconds(Millis from) { return static_cast<double>(steadyClock().now() - from) / 1000.0; }

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (int code = parse(argc, argv, args); code >= 0) return code;
    if (!args.quiet)
        args.sim.notice = [](const std::string& text) {
            std::fprintf(stderr, "rptsim: %s\n", text.c_str());
        };

    // The signals are taken by sigtimedwait below; blocked before the loop thread starts so
    // that thread never receives them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    sigaddset(&signals, SIGUSR1);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);
    ::signal(SIGPIPE, SIG_IGN);

    const int repeaters = args.sim.serialDevice.empty() ? args.sim.repeaters : 1;
    RepeaterSim sim(args.sim);
    std::string error;
    const Millis start = steadyClock().now();
    if (!sim.start(&error)) {
        std::fprintf(stderr, "rptsim: %s\n", error.c_str());
        return 1;
    }
    Millis nextReport = start + static_cast<Millis>(args.reportEveryS * 1000);
    std::uint64_t ackedAtReport = 0;
    Millis lastReport = start;
    const Millis windowFrom = start + static_cast<Millis>(args.warmupS * 1000);
    const Millis end = args.durationS > 0 ? start + static_cast<Millis>(args.durationS * 1000) : -1;
    std::optional<std::uint64_t> ackedAtWindow;
    bool toldAllConnected = false;
    for (;;) {
        // Woken at the window's start and at the end to the millisecond: they bound a rate.
        Millis now = steadyClock().now();
        Millis waitMs = 100;
        if (!ackedAtWindow) waitMs = std::min(waitMs, windowFrom - now);
        if (end >= 0) waitMs = std::min(waitMs, end - now);
        waitMs = std::max<Millis>(waitMs, 0);
        timespec wait{static_cast<time_t>(waitMs / 1000),
                      static_cast<long>(waitMs % 1000) * 1'000'000};
        int sig = sigtimedwait(&signals, nullptr, &wait);
        now = steadyClock().now();
        if (!ackedAtWindow && now >= windowFrom) ackedAtWindow = sim.counters().acked;
        if (sig == SIGINT || sig == SIGTERM) break;
        if (sig == SIGUSR1) sim.resetOneConnection();
        if (sim.done()) break;
        if (end >= 0 && now >= end) break;
        if (!toldAllConnected && sim.allConnectedAfterMs() >= 0) {
            toldAllConnected = true;
            std::fprintf(stderr, "rptsim: all %d repeaters connected after %.3f s\n", repeaters,
                         static_cast<double>(sim.allConnectedAfterMs()) / 1000.0);
        }
        if (args.reportEveryS > 0 && now >= nextReport) {
            RepeaterSimCounters c = sim.counters();
            const double span = static_cast<double>(now - lastReport) / 1000.0;
            std::fprintf(stderr,
                         "rptsim: %.0f s: %d/%d connected, sent %" PRIu64 ", acked %" PRIu64
                         " (%.1f/s), resent %" PRIu64 ", reconnects %" PRIu64 "\n",
                         seconds(start), sim.connected(), repeaters, c.sent, c.acked,
                         span > 0 ? static_cast<double>(c.acked - ackedAtReport) / span : 0.0,
                         c.resent, c.reconnects);
            ackedAtReport = c.acked;
            lastReport = now;
            nextReport = now + static_cast<Millis>(args.reportEveryS * 1000);
        }
    }
    RunFigures figures;
    figures.repeaters = repeaters;
    figures.connectedAtEnd = sim.connected();
    figures.allConnectedMs = sim.allConnectedAfterMs();
    if (ackedAtWindow) {
        figures.windowS = static_cast<double>(steadyClock().now() - windowFrom) / 1000.0;
        figures.windowAcked = sim.counters().acked - *ackedAtWindow;
    }
    sim.stop();
    figures.elapsedS = seconds(start);
    std::printf("%s\n", summaryLine(sim.counters(), figures).c_str());
    std::fflush(stdout);
    return 0;
}
