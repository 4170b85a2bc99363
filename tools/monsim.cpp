// monsim: a monitoring client for load and soak tests. Takes one output channel's lines from
// the server (or serves as the serial output's receiver), answers them, checks the sequence
// numbers and latencies the repeater simulator put into them, and prints a one-line summary
// of key=value pairs on stdout at the end. See monitor_sim.h.

#include <cstdio>
#include <string>

#include "monitor_sim.h"
#include "platform/files.h"
#include "platform/signals.h"
#include "tool_options.h"

using namespace kormlink;
using namespace kormlink::sim;

namespace {

constexpr const char* kUsage =
    "usage: monsim [options]\n"
    "  --host ADDR         server address, dotted IPv4 (default 127.0.0.1)\n"
    "  --port N            server output port (default 950)\n"
    "  --channel ID        channel Id to name after the greeting (required for TCP)\n"
    "  --serial DEVICE     be the serial output's receiver on DEVICE instead of TCP\n"
    "  --baud B            serial speed (default 9600; 8 data bits, no parity, 1 stop bit)\n"
    "  --mode MODE         how lines are answered (default ack):\n"
    "                        ack    at once: \"OK\" (serial: \"OK\" CR)\n"
    "                        delay  the same after --delay MS\n"
    "                        empty  TCP: an empty line, the server sends the line again;\n"
    "                               serial: \"OK\" LF, no CR, so no acknowledgement either\n"
    "                        never  no answer; the server gives up after 5 s, keeps the line\n"
    "                      time-sync and keep-alive lines are answered at once in every mode\n"
    "  --delay MS          answer delay for --mode delay (default 1000)\n"
    "  --delivered FILE    append \"<repeater Id hex> <seq>\" per acknowledged event\n"
    "  --duration S        stop after S seconds (default 0: until SIGINT/SIGTERM)\n"
    "  --idle-exit S       stop when no channel line arrived for S seconds (default 0: never)\n"
    "  --silence S         connect again when a connection brought no line for S seconds\n"
    "                      (default 0: never; the keep-alive comes only after long silence)\n"
    "  --warmup S          record latencies only from S seconds after the first event on\n"
    "                      (default 0: all)\n"
    "  --histogram FILE    at the end, write the latencies as \"lower_us upper_us count\" lines\n"
    "  --report-every S    progress line on stderr every S seconds (default 5; 0: none)\n"
    "  --quiet             no progress lines\n"
    "  --help              this text\n";

struct Args {
    MonitorOptions options;
    std::string histogramPath;
    double reportEveryS = 5;
    bool quiet = false;
};

// Returns -1 to run, or the exit status after --help or a usage error.
int parseArgs(int argc, char** argv, Args& args) {
    MonitorOptions& o = args.options;
    o.delayMs = 1000;
    auto mode = [&](const std::string& v) {
        auto m = parseAnswerMode(v);
        if (!m) return std::string("ack, delay, empty or never");
        o.mode = *m;
        return std::string();
    };
    auto port = [&](const std::string& v) {
        double n = 0;
        if (!toNumber(v, 0, kAnyNumber, n)) return std::string("needs a number of at least 0");
        if (n < 1 || n > 65535) return std::string("1 to 65535");
        o.port = static_cast<std::uint16_t>(n);
        return std::string();
    };
    const ToolCommandLine line{.program = "monsim",
                               .usage = kUsage,
                               .options = {text("host", o.host),
                                           {"port", true, port},
                                           text("channel", o.channel),
                                           text("serial", o.serialDevice),
                                           number("baud", o.baud, 0),
                                           {"mode", true, mode},
                                           number("delay", o.delayMs, 0),
                                           text("delivered", o.deliveredPath),
                                           number("duration", o.durationMs, 0, kAnyNumber, 1000),
                                           number("idle-exit", o.idleExitMs, 0, kAnyNumber, 1000),
                                           number("silence", o.silenceMs, 0, kAnyNumber, 1000),
                                           number("warmup", o.warmupMs, 0, kAnyNumber, 1000),
                                           text("histogram", args.histogramPath),
                                           number("report-every", args.reportEveryS, 0),
                                           flag("quiet", args.quiet)},
                               .wording = Wording::kOptionFirst};
    if (int code = parseToolOptions(line, argc, argv); code >= 0) return code;
    if (o.serialDevice.empty() && o.channel.empty())
        return usageError(line, "--channel ID (or --serial DEVICE) is required");
    return -1;
}

void printProgress(const MonitorSnapshot& s, std::uint64_t ackedBefore, double periodS) {
    const double rate = periodS > 0 ? static_cast<double>(s.acked - ackedBefore) / periodS : 0;
    std::fprintf(
        stderr,
        "monsim: %.0f s, %s, %llu acked (%.0f/s), %llu received, %llu gaps, "
        "%llu repeats, latency p50 %.3f ms p99 %.3f ms, %llu reconnects%s%s\n",
        s.elapsedS, s.connected ? "connected" : "not connected",
        static_cast<unsigned long long>(s.acked), rate, static_cast<unsigned long long>(s.received),
        static_cast<unsigned long long>(s.gaps), static_cast<unsigned long long>(s.repeats),
        s.latencyP50Us / 1000.0, s.latencyP99Us / 1000.0,
        static_cast<unsigned long long>(s.reconnects),
        s.connected || s.lastError.empty() ? "" : "; ", s.connected ? "" : s.lastError.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    Args args;
    if (int code = parseArgs(argc, argv, args); code >= 0) return code;

    blockStopSignals();
    MonitorSim sim(args.options);
    std::string error;
    if (!sim.start(&error)) {
        std::fprintf(stderr, "monsim: %s\n", error.c_str());
        return 1;
    }
    {
        StopSignalWatcher watcher([&] { sim.requestStop(); });
        const auto reportMs = static_cast<Millis>(args.reportEveryS * 1000);
        const bool report = !args.quiet && reportMs > 0;
        Millis lastReport = steadyClock().now();
        std::uint64_t ackedBefore = 0;
        while (!sim.waitFinished(100)) {
            const Millis now = steadyClock().now();
            if (!report || now - lastReport < reportMs) continue;
            const MonitorSnapshot s = sim.snapshot();
            printProgress(s, ackedBefore, static_cast<double>(now - lastReport) / 1000.0);
            ackedBefore = s.acked;
            lastReport = now;
        }
    }
    sim.stop();
    std::printf("%s\n", formatSummary(sim.snapshot()).c_str());
    std::fflush(stdout);
    std::string why;
    if (!args.histogramPath.empty() &&
        !replaceFileAtomically(args.histogramPath, sim.latencies().toText(), &why, false)) {
        std::fprintf(stderr, "monsim: %s: %s\n", args.histogramPath.c_str(), why.c_str());
        return 1;
    }
    return 0;
}
