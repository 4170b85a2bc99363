// monsim: a monitoring client for load and soak tests. Takes one output channel's lines from
// the server (or serves as the serial output's receiver), answers them, checks the sequence
// numbers and latencies the repeater simulator put into them, and prints a one-line summary
// of key=value pairs on stdout at the end. See monitor_sim.h.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

#include "monitor_sim.h"
#include "platform/files.h"
#include "platform/signals.h"

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
    "  --warmup S          record latencies only from S seconds after the first event on\n"
    "                      (default 0: all)\n"
    "  --histogram FILE    at the end, write the latencies as \"lower_us upper_us count\" lines\n"
    "  --report-every S    progress line on stderr every S seconds (default 5; 0: none)\n"
    "  --quiet             no progress lines\n"
    "  --help              this text\n";

bool parseNumber(std::string_view text, double& out) {
    std::string s(text);
    char* end = nullptr;
    errno = 0;
    out = std::strtod(s.c_str(), &end);
    return !s.empty() && end && *end == '\0' && errno == 0 && out >= 0;
}

struct Args {
    MonitorOptions options;
    std::string histogramPath;
    double reportEveryS = 5;
    bool quiet = false;
};

// Parses "--name value" and "--name=value". Returns 0 to run, -1 after --help, or the exit
// code of a usage error.
int parseArgs(int argc, char** argv, Args& args) {
    MonitorOptions& o = args.options;
    o.delayMs = 1000;
    for (int i = 1; i < argc; ++i) {
        std::string name = argv[i];
        std::string value;
        bool hasValue = false;
        if (auto eq = name.find('='); eq != std::string::npos && name.rfind("--", 0) == 0) {
            value = name.substr(eq + 1);
            name.resize(eq);
            hasValue = true;
        }
        auto needValue = [&]() -> bool {
            if (hasValue) return true;
            if (i + 1 >= argc) return false;
            value = argv[++i];
            return true;
        };
        auto bad = [&](const char* why) {
            std::fprintf(stderr, "monsim: %s: %s\n%s", name.c_str(), why, kUsage);
            return 2;
        };
        double number = 0;
        if (name == "--help" || name == "-h") {
            std::fputs(kUsage, stdout);
            return -1;
        } else if (name == "--quiet") {
            args.quiet = true;
        } else if (!needValue()) {
            return bad(name.rfind("--", 0) == 0 ? "needs a value" : "unknown option");
        } else if (name == "--host") {
            o.host = value;
        } else if (name == "--channel") {
            o.channel = value;
        } else if (name == "--serial") {
            o.serialDevice = value;
        } else if (name == "--delivered") {
            o.deliveredPath = value;
        } else if (name == "--histogram") {
            args.histogramPath = value;
        } else if (name == "--mode") {
            auto mode = parseAnswerMode(value);
            if (!mode) return bad("ack, delay, empty or never");
            o.mode = *mode;
        } else if (!parseNumber(value, number)) {
            return bad("needs a number of at least 0");
        } else if (name == "--port") {
            if (number < 1 || number > 65535) return bad("1 to 65535");
            o.port = static_cast<std::uint16_t>(number);
        } else if (name == "--baud") {
            o.baud = static_cast<std::int32_t>(number);
        } else if (name == "--delay") {
            o.delayMs = static_cast<Millis>(number);
        } else if (name == "--duration") {
            o.durationMs = static_cast<Millis>(number * 1000);
        } else if (name == "--idle-exit") {
            o.idleExitMs = static_cast<Millis>(number * 1000);
        } else if (name == "--warmup") {
            o.warmupMs = static_cast<Millis>(number * 1000);
        } else if (name == "--report-every") {
            args.reportEveryS = number;
        } else {
            return bad("unknown option");
        }
    }
    if (o.serialDevice.empty() && o.channel.empty()) {
        std::fprintf(stderr, "monsim: --channel ID (or --serial DEVICE) is required\n%s", kUsage);
        return 2;
    }
    return 0;
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
    if (int code = parseArgs(argc, argv, args); code != 0) return code < 0 ? 0 : code;

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
