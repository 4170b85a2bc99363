// klbench: the benchmark. Starts `kormlink --headless` in a fresh data folder with a generated
// configuration for each scenario, drives it with rptsim and monsim as separate processes (or
// with its own load driver, load_driver.h), reads the server's CPU time, memory and descriptors
// from /proc, and prints one table of figures, targets and verdicts (--json FILE: the same as
// JSON; --svg FILE: the latency distribution, Kormlink's beside the broker's when the broker
// scenario ran).
//
// Scenarios (--only a,b; all by default, in this order):
//   limit    round trips per second of a 76-byte line and a 2-byte answer between two threads of
//            this program over loopback TCP: what one line-at-a-time conversation can reach on
//            this machine, the yardstick for drain
//   ingest   1,000 repeaters sending plain event lines stop-and-wait as fast as they are
//            answered: events/s and the server's CPU after the connect ramp
//   batch    the same in numbered batches of 50
//   fsync    the ingest with [Opt] Fsync=1, stop-and-wait and in batches of 50
//   drain    one monitoring client empties a queue of 100,000 lines that the server took over
//            from its queue file: lines/s, and their ratio to the loopback limit measured
//            just before and just after it
//   latency  2,000 events/s over 1,000 repeaters to one monitoring client: p50, p99 and max
//            from send to receive
//   scale    10,000 idle repeater connections held at once: how many were held, the server's
//            memory and threads per connection, its CPU while they idle, the time to accept
//            them all
//   storm    10,000 repeaters connect at once, as after an outage, each with 20 events to send
//            stop-and-wait (klbench's driver): the time until all are answered, the slowest
//            greeting, every connect() retry
//   broker   the same driver against a common MQTT broker (mosquitto, QoS 1) and against the
//            relay, one after the other in the same run: the ingest, latency and storm shapes,
//            the relay's figure, the broker's and their ratio
//
// A progress line on stderr names the scenario and its elapsed time. Exit status 0 when every
// scenario ran (whatever its verdicts), 1 when one could not run, 2 for a usage error.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "load_driver.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/tcp.h"
#include "platform/unique_fd.h"
#include "program_path.h"
#include "sim_line.h"
#include "sim_server.h"
#include "tool_options.h"

namespace {

using namespace kormlink;
namespace fs = std::filesystem;

constexpr const char* kChannel = "BENCH";
const std::vector<std::string> kAllScenarios = {"limit",   "ingest", "batch", "fsync", "drain",
                                                "latency", "scale",  "storm", "broker"};
constexpr int kRepeaters = 1000;
constexpr int kBatch = 50;
constexpr int kDrainRepeaters = 1000;
constexpr int kDrainPerRepeater = 100;  // 100,000 lines in all
constexpr int kDrainPerRepeaterQuick = 30;
constexpr int kScaleConnections = 10'000;
constexpr double kLatencyRate = 2;  // events/s per repeater: 2,000/s in all
constexpr int kStormConnections = 10'000;
constexpr int kStormEvents = 20;  // per connection
constexpr int kStormEventsQuick = 5;
constexpr int kDriverThreads = 2;  // klbench's load driver, as few as the machine has cores
constexpr const char* kTopic = "bench/events";
constexpr std::size_t kLimitLine = 76;
constexpr std::size_t kLimitAnswer = 2;
constexpr Millis kServerStartMs = 15'000;
constexpr Millis kServerStopMs = 30'000;

// How long each part runs, in seconds.
struct Windows {
    double limit;    // the loopback measurement
    double warmup;   // load before measuring (the connect ramp)
    double ingest;   // measured window of ingest and batch
    double fsync;    // measured window of each fsync run
    double latency;  // measured window of the latency run
    double idle;     // the idle window of scale
    double accept;   // how long scale waits for every connection at most
    double stalled;  // and how long for one more while the count stands still
    double storm;    // how long a storm may take at most
};
constexpr Windows kFull{3, 4, 15, 10, 30, 10, 60, 8, 120};
constexpr Windows kQuick{1, 1, 2.5, 2, 4, 2, 20, 3, 60};

struct Options {
    bool quick = false;
    std::vector<std::string> only = kAllScenarios;
    std::string json, svg;
    std::string server, rptsim, monsim, broker;
    std::string parent = "/tmp";
    bool keep = false;
};

constexpr const char* kUsage =
    "usage: klbench [--quick] [--only LIST] [--json FILE] [--svg FILE] [--server PATH]\n"
    "               [--rptsim PATH] [--monsim PATH] [--broker PATH] [--dir PARENT] [--keep]\n"
    "  Starts kormlink --headless in a fresh folder per scenario, drives it with rptsim\n"
    "  and monsim or with its own load driver, and prints one table of figures, targets\n"
    "  and verdicts.\n"
    "  --quick          short windows (under two minutes in all; the full run takes about\n"
    "                   six minutes)\n"
    "  --only LIST      comma-separated, of: limit, ingest, batch, fsync, drain, latency,\n"
    "                   scale, storm, broker (default all)\n"
    "  --json FILE      write the machine, the figures, targets and verdicts as JSON\n"
    "  --svg FILE       write a plot of the latency distribution: Kormlink's and the\n"
    "                   broker's from the broker scenario when it ran, else the latency\n"
    "                   scenario's\n"
    "  --server PATH    the server (default: found beside klbench, in its parent folder,\n"
    "                   in the programs folder, then on PATH; so are the simulators)\n"
    "  --rptsim PATH    the repeater simulator\n"
    "  --monsim PATH    the monitoring-client simulator\n"
    "  --broker PATH    the MQTT broker the broker scenario compares with (default:\n"
    "                   mosquitto, found as above, then /usr/sbin/mosquitto)\n"
    "  --dir PARENT     where the data folders are made (default /tmp)\n"
    "  --keep           keep the data folders (their paths are printed)\n"
    "  Exit status 0 when every scenario ran, 1 when one could not run.\n";

Millis now() { return steadyClock().now(); }

// ---- Numbers and text ----

// 1234567.8 with 1 decimal: "1,234,567.8".
std::string grouped(double value, int decimals) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, std::fabs(value));
    std::string digits = buf;
    const std::size_t dot = digits.find('.');
    std::string whole = digits.substr(0, dot);
    const std::string rest = dot == std::string::npos ? "" : digits.substr(dot);
    for (int i = static_cast<int>(whole.size()) - 3; i > 0; i -= 3)
        whole.insert(static_cast<std::size_t>(i), ",");
    return (value < 0 && std::stod(buf) != 0 ? "-" : "") + whole + rest;
}

std::string jsonString(const std::string& text) {
    std::string quoted = "\"";
    for (char ch : text) {
        if (ch == '"' || ch == '\\') quoted += '\\';
        if (static_cast<unsigned char>(ch) >= 0x20) quoted += ch;
    }
    return quoted + "\"";
}

std::string jsonNumber(double v, int decimals) {
    if (!std::isfinite(v)) return "null";
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*f", decimals, v);
    return buf;
}

// The value of `key` in a line of "key=value" pairs (the simulators' summary lines).
std::optional<double> summaryValue(const std::string& line, const std::string& key) {
    const std::string needle = " " + key + "=";
    const std::size_t at = line.find(needle);
    if (at == std::string::npos) return std::nullopt;
    const char* text = line.c_str() + at + needle.size();
    char* end = nullptr;
    const double v = std::strtod(text, &end);
    if (end == text) return std::nullopt;
    return v;
}

std::vector<std::string> splitList(const std::string& text) {
    std::vector<std::string> out;
    std::stringstream in(text);
    std::string item;
    while (std::getline(in, item, ','))
        if (!item.empty()) out.push_back(item);
    return out;
}

// ---- The machine ----

struct Machine {
    std::string cpu = "unknown";
    long cores = 0;
    long memoryKb = 0;
    std::string kernel;
};

Machine thisMachine() {
    Machine m;
    std::ifstream cpuinfo("/proc/cpuinfo");
    for (std::string line; std::getline(cpuinfo, line);) {
        if (line.rfind("model name", 0) != 0) continue;
        const std::size_t colon = line.find(':');
        if (colon != std::string::npos && colon + 2 <= line.size()) m.cpu = line.substr(colon + 2);
        break;
    }
    m.cores = ::sysconf(_SC_NPROCESSORS_ONLN);
    std::ifstream meminfo("/proc/meminfo");
    for (std::string line; std::getline(meminfo, line);)
        if (line.rfind("MemTotal:", 0) == 0) m.memoryKb = std::atol(line.c_str() + 9);
    utsname u{};
    if (::uname(&u) == 0) m.kernel = std::string(u.sysname) + " " + u.release + " " + u.machine;
    return m;
}

// "machine: <cpu>, 2 cores, 7.8 GiB memory, Linux 6.1.0 x86_64", as printed before the table and
// under the title of the comparison plot.
std::string machineLine(const Machine& m) {
    char buf[512];
    std::snprintf(buf, sizeof buf, "machine: %s, %ld cores, %.1f GiB memory, %s", m.cpu.c_str(),
                  m.cores, static_cast<double>(m.memoryKb) / (1024.0 * 1024.0), m.kernel.c_str());
    return buf;
}

// ---- Figures and verdicts ----

struct Target {
    bool atLeast;  // value >= limit; otherwise value <= limit
    double limit;
    bool met(double v) const { return atLeast ? v >= limit : v <= limit; }
};

struct Figure {
    std::string key;    // JSON name
    std::string label;  // table text
    double value = 0;
    int decimals = 0;
    std::string unit;
    std::optional<Target> target;
    std::string text;  // table value when not just the number and unit

    std::string valueText() const {
        if (!text.empty()) return text;
        return grouped(value, decimals) + (unit.empty() ? "" : " " + unit);
    }
    std::string targetText() const {
        if (!target) return "-";
        if (!target->atLeast && target->limit == 0) return "0";
        return std::string(target->atLeast ? ">= " : "<= ") +
               grouped(target->limit, target->limit == std::floor(target->limit) ? 0 : 1) +
               (unit.empty() ? "" : " " + unit);
    }
    // "pass", "fail", or "none" without a target.
    const char* verdict() const {
        if (!target) return "none";
        return target->met(value) ? "pass" : "fail";
    }
};

struct Result {
    std::string name;
    bool ran = false;
    std::string error;  // why it could not run
    double seconds = 0;
    std::vector<Figure> figures;

    Figure& add(const std::string& key, const std::string& label, double value, int decimals,
                const std::string& unit, std::optional<Target> target = std::nullopt) {
        figures.push_back({key, label, value, decimals, unit, target, ""});
        return figures.back();
    }
};

void printTable(const std::vector<Result>& results) {
    struct Row {
        std::string cells[5];
    };
    std::vector<Row> rows;
    for (const Result& r : results) {
        for (const Figure& f : r.figures) {
            const std::string verdict = f.target ? (f.target->met(f.value) ? "PASS" : "FAIL") : "";
            rows.push_back({{r.name, f.label, f.valueText(), f.targetText(), verdict}});
        }
        if (!r.ran) rows.push_back({{r.name, "could not run: " + r.error, "-", "-", "ERROR"}});
    }
    const char* heads[5] = {"Scenario", "Figure", "Value", "Target", "Verdict"};
    std::size_t w[5];
    for (int i = 0; i < 5; ++i) w[i] = std::strlen(heads[i]);
    for (const Row& row : rows)
        for (int i = 0; i < 5; ++i) w[i] = std::max(w[i], row.cells[i].size());
    auto line = [&](const std::string* cells) {
        std::printf("| %-*s | %-*s | %*s | %-*s | %-*s |\n", static_cast<int>(w[0]),
                    cells[0].c_str(), static_cast<int>(w[1]), cells[1].c_str(),
                    static_cast<int>(w[2]), cells[2].c_str(), static_cast<int>(w[3]),
                    cells[3].c_str(), static_cast<int>(w[4]), cells[4].c_str());
    };
    const std::string head[5] = {heads[0], heads[1], heads[2], heads[3], heads[4]};
    line(head);
    std::printf("|");
    for (int i = 0; i < 5; ++i) std::printf("%s|", std::string(w[i] + 2, '-').c_str());
    std::printf("\n");
    for (const Row& row : rows) line(row.cells);
}

std::string resultsJson(const Machine& m, const Options& o, const std::vector<Result>& results,
                        double totalS) {
    std::string j = "{\"program\":\"klbench\",\"mode\":";
    j += o.quick ? "\"quick\"" : "\"full\"";
    j += ",\"machine\":{\"cpu\":" + jsonString(m.cpu) + ",\"cores\":" + std::to_string(m.cores) +
         ",\"memory_kb\":" + std::to_string(m.memoryKb) + ",\"kernel\":" + jsonString(m.kernel) +
         "},\"seconds\":" + jsonNumber(totalS, 1) + ",\"scenarios\":[";
    bool allRan = true, allPassed = true;
    for (std::size_t i = 0; i < results.size(); ++i) {
        const Result& r = results[i];
        allRan = allRan && r.ran;
        j += std::string(i ? "," : "") + "{\"name\":" + jsonString(r.name) +
             ",\"ran\":" + (r.ran ? "true" : "false") +
             ",\"error\":" + (r.ran ? "null" : jsonString(r.error)) +
             ",\"seconds\":" + jsonNumber(r.seconds, 1) + ",\"figures\":[";
        for (std::size_t k = 0; k < r.figures.size(); ++k) {
            const Figure& f = r.figures[k];
            allPassed = allPassed && std::strcmp(f.verdict(), "fail") != 0;
            j += std::string(k ? "," : "") + "{\"key\":" + jsonString(f.key) +
                 ",\"label\":" + jsonString(f.label) +
                 ",\"value\":" + jsonNumber(f.value, std::max(f.decimals, 3)) +
                 ",\"unit\":" + jsonString(f.unit) + ",\"target\":";
            if (f.target)
                j += std::string("{\"op\":\"") + (f.target->atLeast ? ">=" : "<=") +
                     "\",\"value\":" + jsonNumber(f.target->limit, 3) + "}";
            else
                j += "null";
            j += std::string(",\"verdict\":\"") + f.verdict() + "\"}";
        }
        j += "]}";
    }
    j += std::string("],\"all_ran\":") + (allRan ? "true" : "false") +
         ",\"all_passed\":" + (allPassed && allRan ? "true" : "false") + "}\n";
    return j;
}

// ---- Progress on stderr ----

class Progress {
  public:
    Progress() : m_tty(::isatty(2) == 1) {}
    void begin(const std::string& scenario, std::size_t index, std::size_t count) {
        m_scenario = "[" + std::to_string(index) + "/" + std::to_string(count) + "] " + scenario;
        m_start = now();
        step("starting");
    }
    // A new step: a line of its own, or the line rewritten in place on a terminal.
    void step(const std::string& what) {
        m_what = what;
        show(true);
    }
    // The elapsed time brought up to date (a terminal only).
    void tick() {
        if (m_tty && now() - m_shown >= 250) show(false);
    }
    void end() {
        if (m_tty) std::fputs("\r\033[K", stderr);
    }
    // A message of its own that stays on screen.
    void say(const std::string& text) {
        if (m_tty) std::fputs("\r\033[K", stderr);
        std::fprintf(stderr, "klbench: %s\n", text.c_str());
        if (m_tty && !m_what.empty()) show(false);
    }

  private:
    void show(bool newStep) {
        m_shown = now();
        const double s = static_cast<double>(m_shown - m_start) / 1000.0;
        if (m_tty) {
            std::fprintf(stderr, "\r\033[Kklbench: %s %5.1f s: %s", m_scenario.c_str(), s,
                         m_what.c_str());
        } else if (newStep) {
            std::fprintf(stderr, "klbench: %s %5.1f s: %s\n", m_scenario.c_str(), s,
                         m_what.c_str());
        }
        std::fflush(stderr);
    }
    bool m_tty;
    std::string m_scenario, m_what;
    Millis m_start = 0, m_shown = 0;
};

// ---- The loopback limit ----

// Round trips per second of a kLimitLine-byte line answered with kLimitAnswer bytes, between
// two threads over loopback TCP with blocking sockets and Nagle off: one end writes a line and
// waits for the answer, as the server does with a monitoring client, the other reads it and
// answers. The first tenth of the time warms up and is not counted. nullopt with why set when
// the sockets cannot be made.
std::optional<double> loopbackRoundTrips(double seconds, std::string* why) {
    UniqueFd listener(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (!listener || ::bind(listener.get(), reinterpret_cast<sockaddr*>(&addr), len) != 0 ||
        ::listen(listener.get(), 1) != 0 ||
        ::getsockname(listener.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
        *why = std::string("loopback listener: ") + std::strerror(errno);
        return std::nullopt;
    }
    auto exact = [](int fd, char* buf, std::size_t n, bool write) {
        std::size_t done = 0;
        while (done < n) {
            const ssize_t k = write ? ::send(fd, buf + done, n - done, MSG_NOSIGNAL)
                                    : ::recv(fd, buf + done, n - done, 0);
            if (k < 0 && errno == EINTR) continue;
            if (k <= 0) return false;
            done += static_cast<std::size_t>(k);
        }
        return true;
    };
    auto noDelay = [](int fd) {
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    };
    std::thread answering([&, addr] {
        UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
        if (!fd || ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
            return;
        noDelay(fd.get());
        char line[kLimitLine];
        char answer[kLimitAnswer] = {'O', 'K'};
        while (exact(fd.get(), line, sizeof line, false) &&
               exact(fd.get(), answer, sizeof answer, true)) {
        }
    });
    UniqueFd conn(::accept4(listener.get(), nullptr, nullptr, SOCK_CLOEXEC));
    std::optional<double> rate;
    if (conn) {
        noDelay(conn.get());
        std::string line = sim::eventLine(0x100001, 1, sim::wallUs32(), 1) + "\r\n";
        line.resize(kLimitLine, '-');
        char answer[kLimitAnswer];
        const Millis start = now();
        const Millis from = start + static_cast<Millis>(seconds * 100);
        const Millis until = start + static_cast<Millis>(seconds * 1000);
        std::uint64_t counted = 0;
        Millis t = start;
        while (t < until) {
            if (!exact(conn.get(), line.data(), line.size(), true) ||
                !exact(conn.get(), answer, sizeof answer, false))
                break;
            t = now();
            if (t >= from) ++counted;
        }
        if (t >= until)
            rate = static_cast<double>(counted) / (static_cast<double>(until - from) / 1000.0);
        ::shutdown(conn.get(), SHUT_RDWR);
    }
    answering.join();
    if (!rate) *why = "the loopback conversation broke off";
    return rate;
}

// ---- Latency histogram and its plot ----

struct Bin {
    double lower, upper;  // microseconds, lower <= latency < upper
    double count;
};

// The "lower_us upper_us count" lines monsim --histogram writes.
std::vector<Bin> readHistogram(const std::string& path) {
    std::vector<Bin> bins;
    std::ifstream in(path);
    for (std::string line; std::getline(in, line);) {
        if (line.empty() || line[0] == '#') continue;
        Bin b{};
        std::istringstream fields(line);
        if (fields >> b.lower >> b.upper >> b.count && b.upper > b.lower) bins.push_back(b);
    }
    return bins;
}

// One distribution in a plot.
struct LatencySeries {
    std::string name;  // in the legend (the comparison)
    std::string tag;   // on its marks (the comparison)
    std::vector<Bin> bins;
    double p50Us = 0, p99Us = 0, maxUs = 0;
    double perS = 0;  // sent and answered per second over the measured window
};

// The latency scenario's distribution (one series, with the targets), or the broker scenario's
// comparison: the relay's and the broker's, from the same driver in the same run.
struct LatencyPlot {
    std::vector<LatencySeries> series;
    double p99TargetUs = 0, maxTargetUs = 0;  // 0: not drawn
    double eventsPerS = 0;                    // in the title
    int repeaters = 0;
    std::string caption;  // the comparison: what was driven how, under the title
    std::string machine;  // the comparison: the machine line klbench prints
};

// How a series of the comparison is drawn: a colour and a line style of its own, so that the
// two can be told apart in grey too.
struct SeriesStyle {
    const char* color;
    const char* dash;  // stroke-dasharray; "" solid
};
constexpr SeriesStyle kSeriesStyles[] = {{"#1f5fa8", ""}, {"#d95f02", "9,5"}};

std::string svgNumber(double v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f", v);
    return buf;
}

std::string latencyText(double us) {
    char buf[32];
    if (us < 1000)
        std::snprintf(buf, sizeof buf, "%.0f µs", us);
    else if (us < 10'000)
        std::snprintf(buf, sizeof buf, "%.2f ms", us / 1000);
    else
        std::snprintf(buf, sizeof buf, "%.1f ms", us / 1000);
    return buf;
}

std::string strokeStyle(const std::string& color, double width, const std::string& dash) {
    return "stroke=\"" + color + "\" stroke-width=\"" + svgNumber(width) + "\"" +
           (dash.empty() ? "" : " stroke-dasharray=\"" + dash + "\"");
}

// The latency distribution as an SVG image: the share of events per bin (20 bins a decade) on a
// logarithmic microsecond axis, with p50, p99 and the maximum marked. One series: bars, the
// cumulative share as a line against the right axis, and the targets as dashed red lines. Two
// series (the comparison): each as an outline of its bins, in a colour and line style of its
// own, named in a legend with its figures; its marks in the same colour and style.
std::string latencySvg(const LatencyPlot& p) {
    const bool comparison = p.series.size() > 1;
    const double width = 960, height = comparison ? 600 : 540;
    const double left = 80, right = comparison ? 40 : 80, top = comparison ? 126 : 78, bottom = 70;
    const double plotW = width - left - right, plotH = height - top - bottom;
    std::vector<double> totals;
    double total = 0, lowest = 1e12, highest = 0;
    for (const LatencySeries& ser : p.series) {
        double sum = 0;
        for (const Bin& b : ser.bins) {
            sum += b.count;
            lowest = std::min(lowest, std::max(b.lower, 1.0));
            highest = std::max(highest, b.upper);
        }
        highest = std::max(highest, ser.maxUs);
        totals.push_back(sum);
        total += sum;
    }
    highest = std::max({highest, p.maxTargetUs, p.p99TargetUs});
    if (total <= 0) lowest = 10;
    const double d0 = std::floor(std::log10(lowest));
    const double d1 = std::max(d0 + 1, std::ceil(std::log10(highest * 1.05)));
    auto x = [&](double us) {
        const double d = std::log10(std::max(us, 1e-3));
        return left + plotW * std::clamp((d - d0) / (d1 - d0), 0.0, 1.0);
    };

    // Display bins of a twentieth of a decade; each histogram bucket is shared among them in
    // proportion to the overlap (its values taken as evenly spread). In % of the series' events.
    const int perDecade = 20;
    const int nShown = static_cast<int>((d1 - d0) * perDecade);
    auto edge = [&](int i) { return std::pow(10.0, d0 + static_cast<double>(i) / perDecade); };
    std::vector<std::vector<double>> shown;
    double peak = 0;
    for (std::size_t k = 0; k < p.series.size(); ++k) {
        std::vector<double>& v = shown.emplace_back(static_cast<std::size_t>(nShown), 0);
        for (const Bin& b : p.series[k].bins) {
            for (int i = 0; i < nShown; ++i) {
                const double lo = std::max(b.lower, edge(i)), hi = std::min(b.upper, edge(i + 1));
                if (hi > lo)
                    v[static_cast<std::size_t>(i)] += b.count * (hi - lo) / (b.upper - b.lower);
            }
        }
        for (double& s : v) {
            s = totals[k] > 0 ? 100 * s / totals[k] : 0;
            peak = std::max(peak, s);
        }
    }
    // The labels of the marks take rows at the top of the plot: 5 with one series, 6 with two.
    // With two the scale leaves them room above the highest bin.
    const double labelRows = comparison ? 6 : 5;
    const double headroom = comparison ? peak * plotH / (plotH - 18 * labelRows - 10) : peak;
    // A round top for the left axis: 1, 2 or 5 times a power of ten, with 5 steps.
    double step = std::pow(10.0, std::floor(std::log10(std::max(headroom, 0.1) / 5)));
    for (double m : {1.0, 2.0, 5.0, 10.0})
        if (headroom <= 5 * step * m) {
            step *= m;
            break;
        }
    const double yTop = 5 * step;
    auto y = [&](double share) { return top + plotH * (1 - share / yTop); };
    auto yCum = [&](double share) { return top + plotH * (1 - share / 100); };

    std::string s;
    auto add = [&](const std::string& text) { s += text + "\n"; };
    auto textAt = [&](double tx, double ty, const std::string& anchor, const std::string& style,
                      const std::string& text) {
        add("<text x=\"" + svgNumber(tx) + "\" y=\"" + svgNumber(ty) + "\" text-anchor=\"" +
            anchor + "\" " + style + ">" + text + "</text>");
    };
    auto lineAt = [&](double x1, double y1, double x2, double y2, const std::string& style) {
        add("<line x1=\"" + svgNumber(x1) + "\" y1=\"" + svgNumber(y1) + "\" x2=\"" +
            svgNumber(x2) + "\" y2=\"" + svgNumber(y2) + "\" " + style + "/>");
    };
    add("<?xml version=\"1.0\" encoding=\"UTF-8\"?>");
    add("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + svgNumber(width) + "\" height=\"" +
        svgNumber(height) + "\" viewBox=\"0 0 " + svgNumber(width) + " " + svgNumber(height) +
        "\" font-family=\"DejaVu Sans, Arial, sans-serif\" font-size=\"13\">");
    add("<rect width=\"100%\" height=\"100%\" fill=\"white\" stroke=\"none\"/>");
    if (comparison) {
        textAt(width / 2, 28, "middle", "font-size=\"17\" font-weight=\"bold\"",
               "Latency from send to receive: " + grouped(p.eventsPerS, 0) + " events/s over " +
                   grouped(p.repeaters, 0) + " connections to one consumer");
        textAt(width / 2, 50, "middle", "font-size=\"13\"", p.caption);
        textAt(width / 2, 68, "middle", "font-size=\"12\" fill=\"#555555\"", p.machine);
        // The legend: a sample of each series' line, its name and its figures.
        for (std::size_t k = 0; k < p.series.size(); ++k) {
            const LatencySeries& ser = p.series[k];
            const SeriesStyle& st = kSeriesStyles[k % std::size(kSeriesStyles)];
            const double ly = 92 + 20 * static_cast<double>(k);
            lineAt(left, ly - 4, left + 44, ly - 4, strokeStyle(st.color, 2.5, st.dash));
            textAt(left + 54, ly, "start",
                   "fill=\"" + std::string(st.color) + "\" font-weight=\"bold\"",
                   ser.name + ":  p50 " + latencyText(ser.p50Us) + " · p99 " +
                       latencyText(ser.p99Us) + " · max " + latencyText(ser.maxUs) + "   (" +
                       grouped(totals[k], 0) + " events measured, " + grouped(ser.perS, 0) +
                       " answered/s)");
        }
    } else {
        const LatencySeries& only = p.series.front();
        char title[256];
        std::snprintf(title, sizeof title,
                      "Latency from send to receive: %s events/s over %s repeaters, %s events",
                      grouped(p.eventsPerS, 0).c_str(), grouped(p.repeaters, 0).c_str(),
                      grouped(total, 0).c_str());
        textAt(width / 2, 28, "middle", "font-size=\"17\" font-weight=\"bold\"", title);
        textAt(width / 2, 52, "middle", "font-size=\"14\"",
               "p50 " + latencyText(only.p50Us) + " · p99 " + latencyText(only.p99Us) + " · max " +
                   latencyText(only.maxUs) + "   (targets: p99 ≤ " + latencyText(p.p99TargetUs) +
                   ", max ≤ " + latencyText(p.maxTargetUs) + ")");
    }

    // Grid and axes.
    const char* grid = "stroke=\"#dddddd\" stroke-width=\"1\"";
    for (int i = 0; i <= 5; ++i) {
        const double share = step * i;
        lineAt(left, y(share), left + plotW, y(share), grid);
        char label[32];
        std::snprintf(label, sizeof label, step < 1 ? "%.1f %%" : "%.0f %%", share);
        textAt(left - 8, y(share) + 4, "end", "", label);
        if (comparison) continue;
        std::snprintf(label, sizeof label, "%d %%", 20 * i);
        textAt(left + plotW + 8, yCum(20.0 * i) + 4, "start", "fill=\"#1f5fa8\"", label);
    }
    for (double d = d0; d <= d1 + 1e-9; d += 1) {
        const double us = std::pow(10.0, d);
        lineAt(x(us), top, x(us), top + plotH, "stroke=\"#bbbbbb\" stroke-width=\"1\"");
        const char* names[] = {"1 µs",   "10 µs", "100 µs", "1 ms",  "10 ms",
                               "100 ms", "1 s",   "10 s",   "100 s", "1000 s"};
        const int k = static_cast<int>(std::lround(d));
        textAt(x(us), top + plotH + 20, "middle", "", k >= 0 && k < 10 ? names[k] : "");
        for (int m = 2; m <= 9 && d < d1 - 1e-9; ++m)
            lineAt(x(us * m), top + plotH, x(us * m), top + plotH + 5, "stroke=\"#555555\"");
    }
    lineAt(left, top + plotH, left + plotW, top + plotH, "stroke=\"black\"");
    lineAt(left, top, left, top + plotH, "stroke=\"black\"");
    if (comparison)
        lineAt(left + plotW, top, left + plotW, top + plotH, "stroke=\"#bbbbbb\"");
    else
        lineAt(left + plotW, top, left + plotW, top + plotH, "stroke=\"#1f5fa8\"");
    textAt(left + plotW / 2, height - 22, "middle", "",
           "latency from send to receive (logarithmic scale)");
    add("<text transform=\"translate(22," + svgNumber(top + plotH / 2) +
        ") rotate(-90)\" text-anchor=\"middle\">" +
        (comparison ? std::string("share of each one's events per bin (20 bins a decade)")
                    : std::string("share of events per bin (bars; 20 bins a decade)")) +
        "</text>");

    if (comparison) {
        // Each series as the outline of its bins from its first to its last, lightly filled:
        // the fills first, so that neither hides the other's outline.
        std::vector<std::string> outlines;
        for (std::size_t k = 0; k < shown.size(); ++k) {
            const std::vector<double>& v = shown[k];
            int first = -1, last = -1;
            for (int i = 0; i < nShown; ++i)
                if (v[static_cast<std::size_t>(i)] > 0) {
                    if (first < 0) first = i;
                    last = i;
                }
            if (first < 0) continue;
            std::string path = "M " + svgNumber(x(edge(first))) + " " + svgNumber(y(0));
            for (int i = first; i <= last; ++i) {
                const double h = y(v[static_cast<std::size_t>(i)]);
                path += " L " + svgNumber(x(edge(i))) + " " + svgNumber(h) + " L " +
                        svgNumber(x(edge(i + 1))) + " " + svgNumber(h);
            }
            path += " L " + svgNumber(x(edge(last + 1))) + " " + svgNumber(y(0));
            const SeriesStyle& st = kSeriesStyles[k % std::size(kSeriesStyles)];
            add("<path d=\"" + path + " Z\" fill=\"" + st.color +
                "\" fill-opacity=\"0.14\" stroke=\"none\"/>");
            outlines.push_back("<path d=\"" + path + "\" fill=\"none\" " +
                               strokeStyle(st.color, 2.5, st.dash) +
                               " stroke-linejoin=\"round\"/>");
        }
        for (const std::string& outline : outlines) add(outline);
    } else {
        add("<text transform=\"translate(" + svgNumber(width - 18) + "," +
            svgNumber(top + plotH / 2) +
            ") rotate(90)\" text-anchor=\"middle\" fill=\"#1f5fa8\">events at or below "
            "(line)</text>");
        const std::vector<double>& v = shown.front();
        const std::vector<Bin>& bins = p.series.front().bins;
        for (int i = 0; i < nShown; ++i) {
            const double share = v[static_cast<std::size_t>(i)];
            if (share <= 0) continue;
            const double x0 = x(edge(i)), x1 = x(edge(i + 1));
            add("<rect x=\"" + svgNumber(x0) + "\" y=\"" + svgNumber(y(share)) + "\" width=\"" +
                svgNumber(std::max(x1 - x0 - 1, 1.0)) + "\" height=\"" +
                svgNumber(top + plotH - y(share)) + "\" fill=\"#9ab8d8\" stroke=\"none\"/>");
        }
        // The cumulative share, a step at each bucket's upper end.
        if (total > 0) {
            std::string path = "M " + svgNumber(x(bins.front().lower)) + " " + svgNumber(yCum(0));
            double seen = 0;
            for (const Bin& b : bins) {
                seen += b.count;
                path += " L " + svgNumber(x(b.upper)) + " " + svgNumber(yCum(100 * seen / total));
            }
            add("<path d=\"" + path + "\" fill=\"none\" stroke=\"#1f5fa8\" stroke-width=\"2\"/>");
        }
    }

    // Marks. One series: the figures solid, the targets dashed red. Two: each series' figures
    // in its colour and line style, named. Labels staggered so that they do not meet.
    struct Mark {
        double us;
        std::string label, color, dash;
        double width;
    };
    std::vector<Mark> marks;
    if (comparison) {
        for (std::size_t k = 0; k < p.series.size(); ++k) {
            const LatencySeries& ser = p.series[k];
            const SeriesStyle& st = kSeriesStyles[k % std::size(kSeriesStyles)];
            for (const auto& [us, what] : {std::pair{ser.p50Us, "p50"}, std::pair{ser.p99Us, "p99"},
                                           std::pair{ser.maxUs, "max"}})
                marks.push_back(
                    {us, ser.tag + " " + what + " " + latencyText(us), st.color, st.dash, 1.5});
        }
    } else {
        const LatencySeries& only = p.series.front();
        marks = {
            {only.p50Us, "p50 " + latencyText(only.p50Us), "#2c7a2c", "", 2},
            {only.p99Us, "p99 " + latencyText(only.p99Us), "#c77700", "", 2},
            {only.maxUs, "max " + latencyText(only.maxUs), "#7a2c7a", "", 2},
            {p.p99TargetUs, "p99 target " + latencyText(p.p99TargetUs), "#d62728", "6,4", 2},
            {p.maxTargetUs, "max target " + latencyText(p.maxTargetUs), "#d62728", "6,4", 2},
        };
    }
    // Lines first, then the labels on a white ground so that no line runs through them.
    for (const Mark& m : marks) {
        if (m.us <= 0) continue;
        lineAt(x(m.us), top, x(m.us), top + plotH, strokeStyle(m.color, m.width, m.dash));
    }
    int row = 0;
    for (const Mark& m : marks) {
        if (m.us <= 0) continue;
        const double mx = x(m.us);
        // Bold 13 px, roughly; the comparison's longer labels need the closer estimate to stay
        // within the plot.
        const double textW = (comparison ? 8.0 : 7.0) * static_cast<double>(m.label.size());
        const bool flip = mx + 5 + textW > left + plotW;
        const double tx = flip ? mx - 5 : mx + 5;
        const double ty = top + 16 + 18 * (row++ % static_cast<int>(labelRows));
        add("<rect x=\"" + svgNumber(flip ? tx - textW - 2 : tx - 2) + "\" y=\"" +
            svgNumber(ty - 12) + "\" width=\"" + svgNumber(textW + 4) +
            "\" height=\"16\" fill=\"white\" fill-opacity=\"0.85\" stroke=\"none\"/>");
        textAt(tx, ty, flip ? "end" : "start", "fill=\"" + m.color + "\" font-weight=\"bold\"",
               m.label);
    }
    add("</svg>");
    return s;
}

// The buckets of a histogram that hold samples, as the plot takes them.
std::vector<Bin> histogramBins(const sim::LatencyHistogram& h) {
    std::vector<Bin> bins;
    for (std::size_t b = 0; b < sim::LatencyHistogram::kBucketCount; ++b) {
        if (h.bucketCount(b) == 0) continue;
        bins.push_back({static_cast<double>(sim::LatencyHistogram::lowerBound(b)),
                        static_cast<double>(sim::LatencyHistogram::upperBound(b)),
                        static_cast<double>(h.bucketCount(b))});
    }
    return bins;
}

// ---- The benchmark ----

// A server in a fresh data folder.
struct Server {
    sim::ServerFolder folder;
    sim::ChildProcess process;
    std::string log;
    pid_t pid() const { return process.pid(); }
};

// The server's CPU time over a stretch, in % of one core.
class CpuMeter {
  public:
    explicit CpuMeter(pid_t pid) : m_pid(pid), m_ticks(sim::procCpuTicks(pid)), m_at(now()) {}
    // CPU seconds used since.
    double seconds() const {
        const long ticks = sim::procCpuTicks(m_pid);
        if (ticks < 0 || m_ticks < 0) return NAN;
        return static_cast<double>(ticks - m_ticks) / static_cast<double>(::sysconf(_SC_CLK_TCK));
    }
    double percent() const {
        const double s = static_cast<double>(now() - m_at) / 1000.0;
        return s > 0 ? 100.0 * seconds() / s : NAN;
    }

  private:
    pid_t m_pid;
    long m_ticks;
    Millis m_at;
};

// Context switches of all the process's threads so far: how often its threads went to sleep and
// woke up again (voluntary) or were preempted. -1 when the process is gone.
long contextSwitches(pid_t pid) {
    long total = 0;
    std::error_code ec;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    for (auto it = fs::directory_iterator(tasks, ec); !ec && it != fs::directory_iterator();
         it.increment(ec)) {
        std::ifstream in(it->path() / "status");
        for (std::string line; std::getline(in, line);)
            if (line.find("ctxt_switches:") != std::string::npos)
                total += std::atol(line.c_str() + line.find(':') + 1);
    }
    return ec ? -1 : total;
}

// A counter of the kernel's TCP extension statistics (/proc/net/netstat), e.g. ListenOverflows:
// connections that found a listener's accept queue full. -1 when it cannot be read.
long tcpExtCounter(const std::string& name) {
    std::ifstream in("/proc/net/netstat");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("TcpExt:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        std::string key, value;
        while (n >> key && v >> value)
            if (key == name) return std::atol(value.c_str());
    }
    return -1;
}

long somaxconn() {
    std::ifstream in("/proc/sys/net/core/somaxconn");
    long v = -1;
    in >> v;
    return v;
}

// The broker program: --broker, else mosquitto found as the other programs are, else Debian's
// place for it. "" when there is none.
std::string findBroker(const std::string& given) {
    if (!given.empty()) return given;
    std::string path = sim::findProgram("mosquitto");
    if (path.empty() && sim::isProgramFile("/usr/sbin/mosquitto")) path = "/usr/sbin/mosquitto";
    return path;
}

// The first line the broker prints for -h ("mosquitto version 2.0.11"), or "".
std::string brokerVersion(const std::string& program) {
    std::string quoted = "'";
    for (char ch : program) quoted += ch == '\'' ? std::string("'\\''") : std::string(1, ch);
    quoted += "'";
    std::FILE* p = ::popen((quoted + " -h 2>&1").c_str(), "r");
    if (!p) return "";
    char buf[256] = {};
    const bool got = std::fgets(buf, sizeof buf, p) != nullptr;
    ::pclose(p);
    std::string line = got ? buf : "";
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    return line;
}

// A broker in a folder of its own, on a free loopback port.
struct Broker {
    std::string dir;
    std::uint16_t port = 0;
    sim::ChildProcess process;
    std::string log;
};

// What a server (the relay or the broker) is to the load driver.
struct Peer {
    std::string name;  // in the progress line
    sim::LoadFlavour flavour = sim::LoadFlavour::Kormlink;
    std::uint16_t in = 0;   // where messages are sent
    std::uint16_t out = 0;  // where they are received
    pid_t pid = -1;

    // One client that takes the messages from `out`.
    sim::LoadPlan receiverPlan(const char* channel, const char* prefix) const {
        sim::LoadPlan p;
        p.flavour = flavour;
        p.port = out;
        p.receiver = true;
        p.threads = 1;
        p.channel = channel;
        p.clientPrefix = prefix;
        return p;
    }
    // The repeaters' connections that send to `in`.
    sim::LoadPlan senderPlan() const {
        sim::LoadPlan p;
        p.flavour = flavour;
        p.port = in;
        p.connections = kRepeaters;
        p.threads = kDriverThreads;
        p.channel = kTopic;
        p.clientPrefix = "klbench-pub";
        return p;
    }
};

// The figures of one load-driver run.
struct DriverFigures {
    double perS = NAN;       // answers per second over the measured window
    double serverCpu = NAN;  // the server's CPU over the window, % of one core
    double driverCpu = NAN;  // klbench's (the driver's threads) over the same window
    double p50 = NAN, p99 = NAN, max = NAN;  // latency, ms
    std::uint64_t latencyCount = 0;
    std::vector<Bin> latencyBins;  // for the plot
    double allAnsweredS = NAN;     // storm: from the start until every message was answered
    double slowestGreetingS = NAN;
    double elapsedS = NAN;
    std::uint64_t expected = 0;  // storm: messages in all
    long listenOverflows = -1;
    sim::LoadCounters c;
};

class Bench {
  public:
    Bench(Options o, rlim_t serverNoFile)
        : m_o(std::move(o)), m_w(m_o.quick ? kQuick : kFull), m_serverNoFile(serverNoFile) {}
    int run();

  private:
    void runScenario(Result& r);
    void limit(Result& r);
    void ingest(Result& r, const std::string& key, int batch, bool fsync, double windowS,
                std::optional<Target> target, const std::string& label);
    void drain(Result& r);
    void latency(Result& r);
    void scale(Result& r);
    void storm(Result& r);
    void broker(Result& r);

    // The load driver's shapes against a running relay (relayPeer) or broker (brokerPeer).
    // False with r.error set when the run failed.
    bool driveIngest(Result& r, const Peer& peer, DriverFigures& f);
    bool driveLatency(Result& r, const Peer& peer, DriverFigures& f);
    bool driveStorm(Result& r, const Peer& peer, DriverFigures& f);
    Peer relayPeer() const;
    Peer brokerPeer() const;
    sim::ExtraKeys stormKeys() const;
    // Waits until pred() holds, up to ms; false when it did not (or a server ended).
    bool waitFor(double ms, const std::function<bool()>& pred);

    bool startBroker(Result& r, const std::string& program);
    // Stops the broker; its folder is removed unless kept or the scenario has failed.
    bool stopBroker(Result& r);
    // stopServer between the parts of one scenario.
    bool stopBetween(Result& r);

    // Makes a data folder, lets prepare() add files to it, starts the server and waits until it
    // serves. False with r.error set when that fails.
    bool startServer(Result& r, const sim::ExtraKeys& keys,
                     const std::function<bool(const std::string&)>& prepare = {});
    // Stops the server; the folder is removed unless kept. False with r.error set when the
    // server had ended by itself or its orderly stop failed.
    bool stopServer(Result& r);
    bool serverRunning(Result& r);
    void fail(Result& r, const std::string& why);
    // Starts a simulator with its output in dir/<name>.log.
    bool startSim(sim::ChildProcess& child, const std::string& program,
                  const std::vector<std::string>& args, const std::string& name);
    // Waits ms, keeping the progress line up to date; false when the server ended meanwhile.
    bool pause(double ms);
    std::string simLog(const std::string& name) const {
        return m_server->folder.dir + "/" + name + ".log";
    }

    Options m_o;
    Windows m_w;
    rlim_t m_serverNoFile;
    Progress m_progress;
    std::unique_ptr<Server> m_server;
    std::vector<std::string> m_kept;
    std::optional<LatencyPlot> m_plot;         // the latency scenario's
    std::optional<LatencyPlot> m_comparePlot;  // the broker scenario's, plotted when there
    std::unique_ptr<Broker> m_broker;
    std::optional<DriverFigures> m_relayStorm;  // the storm scenario's, for the comparison
};

void Bench::fail(Result& r, const std::string& why) {
    if (r.error.empty()) r.error = why;
    r.ran = false;
}

bool Bench::startServer(Result& r, const sim::ExtraKeys& keys,
                        const std::function<bool(const std::string&)>& prepare) {
    auto folder = sim::makeServerFolder(m_o.parent, "klbench-" + r.name, kChannel, keys);
    if (!folder) {
        fail(r, "cannot make a data folder in " + m_o.parent);
        return false;
    }
    m_server = std::make_unique<Server>();
    m_server->folder = *folder;
    m_server->log = folder->dir + "/server.log";
    if (prepare && !prepare(folder->dir)) {
        fail(r, "cannot write the files of the data folder " + folder->dir);
        return false;
    }
    m_progress.step("starting the server");
    // The server gets the descriptor limit klbench was started with, not the raised one: what
    // it does about its limit is part of what is measured.
    if (!m_server->process.start(m_o.server, {"--headless"}, folder->dir, m_server->log,
                                 m_serverNoFile)) {
        fail(r, "cannot start " + m_o.server);
        return false;
    }
    if (!sim::waitUntilServing(m_server->process, *folder, m_server->log, kServerStartMs)) {
        fail(r, m_server->process.running() ? "the server did not serve within " +
                                                  std::to_string(kServerStartMs / 1000) + " s"
                                            : "the server ended at start with status " +
                                                  std::to_string(m_server->process.exitStatus()));
        return false;
    }
    return true;
}

bool Bench::serverRunning(Result& r) {
    if (m_broker && !m_broker->process.running()) {
        fail(r, "the broker ended during the scenario with status " +
                    std::to_string(m_broker->process.exitStatus()));
        return false;
    }
    if (!m_server && m_broker) return true;
    if (m_server && m_server->process.running()) return true;
    fail(r, "the server ended during the scenario with status " +
                std::to_string(m_server ? m_server->process.exitStatus() : -1));
    return false;
}

bool Bench::stopServer(Result& r) {
    if (!m_server) return r.ran;
    const bool wasRunning = m_server->process.running();
    if (!wasRunning) {
        serverRunning(r);
    } else {
        m_progress.step("stopping the server");
        const int status = m_server->process.stop(kServerStopMs);
        if (status != 0)
            fail(r, "the server's orderly stop ended with status " + std::to_string(status));
    }
    const std::string dir = m_server->folder.dir;
    if (!r.ran) {
        m_progress.say(r.name + ": could not run: " + r.error);
        const std::string tail = sim::fileTail(m_server->log, 15);
        if (!tail.empty())
            std::fprintf(stderr, "klbench: the end of %s:\n%s", m_server->log.c_str(),
                         tail.c_str());
    }
    if (m_o.keep || !r.ran) {
        m_kept.push_back(dir);
    } else {
        std::error_code ec;
        fs::remove_all(dir, ec);
    }
    m_server.reset();
    return r.ran;
}

bool Bench::startSim(sim::ChildProcess& child, const std::string& program,
                     const std::vector<std::string>& args, const std::string& name) {
    return child.start(program, args, m_server->folder.dir, simLog(name));
}

bool Bench::pause(double ms) {
    const Millis until = now() + static_cast<Millis>(ms);
    for (;;) {
        m_progress.tick();
        if (m_server && !m_server->process.running()) return false;
        if (m_broker && !m_broker->process.running()) return false;
        const Millis left = until - now();
        if (left <= 0) return true;
        sleepMs(std::min<Millis>(left, 100));
    }
}

void Bench::limit(Result& r) {
    m_progress.step("loopback round trips");
    std::string why;
    const auto rate = loopbackRoundTrips(m_w.limit, &why);
    if (!rate) return fail(r, why);
    r.add("round_trips_per_s", "loopback round trips: 76-byte line, 2-byte answer", *rate, 0, "/s");
    r.ran = true;
}

// One rptsim load against a fresh server: events/s over the window after the warm-up, the
// server's CPU and rptsim's over the same window.
void Bench::ingest(Result& r, const std::string& key, int batch, bool fsync, double windowS,
                   std::optional<Target> target, const std::string& label) {
    sim::ExtraKeys keys;
    if (fsync) keys.opt = "Fsync=1\n";
    if (!startServer(r, keys)) return;
    sim::ChildProcess rpt;
    const std::string name = "rptsim-" + key;
    std::vector<std::string> args{"--port",
                                  std::to_string(m_server->folder.in),
                                  "--repeaters",
                                  std::to_string(kRepeaters),
                                  "--warmup",
                                  std::to_string(m_w.warmup),
                                  "--duration",
                                  std::to_string(m_w.warmup + windowS),
                                  "--quiet",
                                  "--report-every",
                                  "0"};
    if (batch > 0) {
        args.push_back("--batch");
        args.push_back(std::to_string(batch));
    }
    m_progress.step(label + ": connect ramp and warm-up");
    if (!startSim(rpt, m_o.rptsim, args, name)) return fail(r, "cannot start rptsim");
    const Millis started = now();
    if (!pause(m_w.warmup * 1000)) return void(serverRunning(r));
    CpuMeter server(m_server->pid()), load(rpt.pid());
    m_progress.step(label + ": measuring for " + grouped(windowS, 1) + " s");
    if (!pause(static_cast<double>(started + static_cast<Millis>((m_w.warmup + windowS) * 1000) -
                                   now())))
        return void(serverRunning(r));
    const double serverCpu = server.percent(), loadCpu = load.percent();
    m_progress.step(label + ": waiting for the last answers");
    rpt.wait(15'000);
    const std::string summary = sim::lastLineStartingWith(simLog(name), "rptsim:");
    const auto rate = summaryValue(summary, "window_acked_per_s");
    if (!rate || *rate <= 0)
        return fail(r, "rptsim acknowledged nothing (see " + simLog(name) + ")");
    r.add(key + "_events_per_s", label + ": events/s after the warm-up", *rate, 0, "ev/s", target);
    r.add(key + "_server_cpu_pct", label + ": server CPU, % of one core", serverCpu, 0, "%");
    r.add(key + "_rptsim_cpu_pct", label + ": rptsim CPU, % of one core", loadCpu, 0, "%");
    const double resent = summaryValue(summary, "resent").value_or(NAN);
    if (resent > 0)
        r.add(key + "_resent", label + ": events resent (no answer in 5 s)", resent, 0, "");
    r.ran = true;
}

void Bench::drain(Result& r) {
    // The ratio's yardstick is taken just before and just after the drain: on a shared virtual
    // machine the loopback rate moves by half within minutes, so the limit scenario's figure,
    // taken minutes earlier, is no fair measure of this one.
    std::string why;
    m_progress.step("loopback round trips before the drain (for the ratio)");
    const auto limitBefore = loopbackRoundTrips(kQuick.limit, &why);
    if (!limitBefore) return fail(r, why);
    const int perRepeater = m_o.quick ? kDrainPerRepeaterQuick : kDrainPerRepeater;
    const int lines = kDrainRepeaters * perRepeater;
    auto writeQueue = [&](const std::string& dir) {
        // The repeaters' lines interleaved, as they would have been queued; CR LF ended.
        std::string content;
        content.reserve(static_cast<std::size_t>(lines) * 74);
        const std::string stamp = sim::localStamp();
        const std::uint32_t sent = sim::wallUs32();
        for (int seq = 1; seq <= perRepeater; ++seq)
            for (int i = 0; i < kDrainRepeaters; ++i) {
                const std::uint32_t id = 0x200001 + static_cast<std::uint32_t>(i);
                content += sim::eventLine(id, static_cast<std::uint32_t>(seq), sent, 0, '1',
                                          id & 0xFFF, stamp);
                content += "\r\n";
            }
        return replaceFileAtomically(dir + "/" + kChannel + ".out", content, nullptr, false);
    };
    if (!startServer(r, {}, writeQueue)) return;
    sim::ChildProcess mon;
    m_progress.step("monsim empties the queue of " + grouped(lines, 0) + " lines");
    if (!startSim(mon, m_o.monsim,
                  {"--port", std::to_string(m_server->folder.out), "--channel", kChannel,
                   "--idle-exit", "2", "--quiet", "--report-every", "0"},
                  "monsim-drain"))
        return fail(r, "cannot start monsim");
    // CPU time over the whole run, taken as spent from the first to the last acknowledgement
    // (the idle wait at monsim's end costs next to nothing).
    const CpuMeter serverCpu(m_server->pid()), monsimCpu(mon.pid());
    double serverCpuS = NAN, monsimCpuS = NAN;
    const Millis bound = now() + 240'000;
    while (mon.running() && now() < bound) {
        serverCpuS = serverCpu.seconds();
        monsimCpuS = monsimCpu.seconds();
        if (!pause(100)) return void(serverRunning(r));
    }
    if (mon.running()) mon.stop(5000);
    const std::string summary = sim::lastLineStartingWith(simLog("monsim-drain"), "monsim:");
    const auto perS = summaryValue(summary, "busy_per_s");
    if (summary.empty() || !perS)
        return fail(r, "monsim printed no summary (see " + simLog("monsim-drain") + ")");
    const double events = summaryValue(summary, "events").value_or(0);
    const double repeats = summaryValue(summary, "repeats").value_or(0);
    const double missing = summaryValue(summary, "missing").value_or(0);
    m_progress.step("loopback round trips after the drain (for the ratio)");
    const auto limitAfter = loopbackRoundTrips(kQuick.limit, &why);
    if (!limitAfter) return fail(r, why);
    const double limit = (*limitBefore + *limitAfter) / 2;
    r.add("lines_per_s", "lines/s from the first to the last acknowledgement", *perS, 0, "/s");
    r.add("ratio_to_limit",
          "ratio to the loopback limit around it (" + grouped(*limitBefore, 0) + " before, " +
              grouped(*limitAfter, 0) + "/s after)",
          *perS / limit, 2, "", Target{true, 0.8});
    Figure& arrived = r.add("arrived", "distinct lines arrived", events - repeats, 0, "",
                            Target{true, static_cast<double>(lines)});
    arrived.text = grouped(events - repeats, 0) + " of " + grouped(lines, 0);
    r.add("missing", "lines missing in the repeaters' numbers", missing, 0, "", Target{false, 0});
    r.add("repeats", "lines delivered more than once", repeats, 0, "");
    const double busyS = summaryValue(summary, "busy_s").value_or(NAN);
    r.add("server_cpu_pct", "server CPU, % of one core", 100 * serverCpuS / busyS, 0, "%");
    r.add("monsim_cpu_pct", "monsim CPU, % of one core", 100 * monsimCpuS / busyS, 0, "%");
    r.ran = true;
}

void Bench::latency(Result& r) {
    if (!startServer(r, {})) return;
    const double warmup = m_w.warmup + 1;
    const std::string histogram = m_server->folder.dir + "/latency.txt";
    sim::ChildProcess mon, rpt;
    if (!startSim(
            mon, m_o.monsim,
            {"--port", std::to_string(m_server->folder.out), "--channel", kChannel, "--warmup",
             std::to_string(warmup), "--histogram", histogram, "--quiet", "--report-every", "0"},
            "monsim-latency"))
        return fail(r, "cannot start monsim");
    if (!pause(500)) return void(serverRunning(r));  // the client attached before the first event
    std::ostringstream rate;
    rate << kLatencyRate;
    m_progress.step(grouped(kRepeaters * kLatencyRate, 0) + " events/s: warm-up, then " +
                    grouped(m_w.latency, 0) + " s measured");
    if (!startSim(
            rpt, m_o.rptsim,
            {"--port", std::to_string(m_server->folder.in), "--repeaters",
             std::to_string(kRepeaters), "--rate", rate.str(), "--warmup", std::to_string(warmup),
             "--duration", std::to_string(warmup + m_w.latency), "--quiet", "--report-every", "0"},
            "rptsim-latency"))
        return fail(r, "cannot start rptsim");
    while (rpt.running())
        if (!pause(100)) return void(serverRunning(r));
    if (!pause(500)) return void(serverRunning(r));  // the last lines reach the client
    mon.stop(10'000);
    const std::string summary = sim::lastLineStartingWith(simLog("monsim-latency"), "monsim:");
    const std::string rptSummary = sim::lastLineStartingWith(simLog("rptsim-latency"), "rptsim:");
    const auto count = summaryValue(summary, "latency_count");
    const auto p50 = summaryValue(summary, "latency_ms_p50");
    const auto p99 = summaryValue(summary, "latency_ms_p99");
    const auto max = summaryValue(summary, "latency_ms_max");
    if (!count || *count <= 0 || !p50 || !p99 || !max)
        return fail(r, "monsim recorded no latencies (see " + simLog("monsim-latency") + ")");
    const double perS = summaryValue(rptSummary, "window_acked_per_s").value_or(NAN);
    r.add("events_per_s", "events/s sent and answered", perS, 0, "ev/s");
    r.add("events_measured", "events measured after the warm-up", *count, 0, "");
    r.add("p50_ms", "p50 from send to receive", *p50, 3, "ms");
    r.add("p99_ms", "p99 from send to receive", *p99, 3, "ms", Target{false, 2});
    r.add("max_ms", "max from send to receive", *max, 3, "ms", Target{false, 20});
    r.add("gaps", "gaps in the repeaters' numbers", summaryValue(summary, "gaps").value_or(NAN), 0,
          "", Target{false, 0});
    LatencyPlot plot;
    plot.series.push_back(
        {"Kormlink", "", readHistogram(histogram), *p50 * 1000, *p99 * 1000, *max * 1000, perS});
    plot.p99TargetUs = 2000;
    plot.maxTargetUs = 20'000;
    plot.eventsPerS = perS;
    plot.repeaters = kRepeaters;
    m_plot = plot;
    r.ran = true;
}

void Bench::scale(Result& r) {
    const int n = kScaleConnections;
    sim::ExtraKeys keys;
    keys.in = "MaxConnections=" + std::to_string(n + 100) + "\n";
    // A connection without a line is closed after 2 x ECnst seconds (140 s by default): far
    // beyond the run here, so that every connection is still held at the end.
    keys.sock = "ECnst=100000\n";
    if (!startServer(r, keys)) return;
    const pid_t pid = m_server->pid();
    if (!pause(1000)) return void(serverRunning(r));
    const long rssBefore = sim::procStatusValue(pid, "VmRSS:");
    const long fdsBefore = sim::procOpenFds(pid);
    const long threadsBefore = sim::procStatusValue(pid, "Threads:");
    sim::ChildProcess rpt;
    const std::string name = "rptsim-scale";
    m_progress.step("connecting " + grouped(n, 0) + " idle repeaters");
    if (!startSim(rpt, m_o.rptsim,
                  {"--port", std::to_string(m_server->folder.in), "--repeaters", std::to_string(n),
                   "--idle", "--quiet", "--report-every", "1"},
                  name))
        return fail(r, "cannot start rptsim");
    const Millis rptStarted = now();
    const Millis bound = rptStarted + static_cast<Millis>(m_w.accept * 1000);
    std::string allLine;
    int connected = 0;
    Millis grewAt = now();
    while (now() < bound && rpt.running()) {
        allLine = sim::lastLineStartingWith(simLog(name), "rptsim: all ");
        if (!allLine.empty()) {
            connected = n;
            break;
        }
        // rptsim's progress line once a second: "rptsim: 3 s: 9812/10000 connected, ...".
        int k = 0, of = 0;
        const std::string progress = sim::fileTail(simLog(name), 1);
        if (std::sscanf(progress.c_str(), "rptsim: %*f s: %d/%d connected", &k, &of) == 2 &&
            k != connected) {
            connected = k;
            grewAt = now();
            m_progress.step(grouped(k, 0) + " of " + grouped(n, 0) + " connected");
        }
        if (now() - grewAt > static_cast<Millis>(m_w.stalled * 1000)) break;
        if (!pause(200)) return void(serverRunning(r));
    }
    if (!rpt.running()) return fail(r, "rptsim ended (see " + simLog(name) + ")");
    // Accepting is over; what the connections cost at rest is measured after a second.
    if (!pause(1000)) return void(serverRunning(r));
    m_progress.step(grouped(connected, 0) + " connections held: idle for " + grouped(m_w.idle, 0) +
                    " s");
    const CpuMeter cpu(pid);
    const long switchesBefore = contextSwitches(pid);
    const Millis idleFrom = now();
    if (!pause(m_w.idle * 1000)) return void(serverRunning(r));
    const double idleCpu = cpu.percent();
    const double switchesPerS = static_cast<double>(contextSwitches(pid) - switchesBefore) /
                                (static_cast<double>(now() - idleFrom) / 1000.0);
    const long threadsHeld = sim::procStatusValue(pid, "Threads:");
    const long rssHeld = sim::procStatusValue(pid, "VmRSS:");
    const long fdsHeld = sim::procOpenFds(pid);
    const auto [soft, hard] = sim::procNoFileLimits(pid);
    m_progress.step("closing the connections");
    rpt.stop(20'000);
    const std::string summary = sim::lastLineStartingWith(simLog(name), "rptsim:");
    const auto held = summaryValue(summary, "connected");
    if (!held) return fail(r, "rptsim printed no summary (see " + simLog(name) + ")");

    Figure& heldFigure = r.add("held", "idle repeater connections held at once", *held, 0, "",
                               Target{true, static_cast<double>(n)});
    heldFigure.text = grouped(*held, 0) + " of " + grouped(n, 0);
    const double perConnection = *held > 0 ? static_cast<double>(rssHeld - rssBefore) / *held : NAN;
    r.add("rss_kib_per_connection", "server memory per connection (RSS held - before) / held",
          perConnection, 1, "KiB", Target{false, 8});
    Figure& rss = r.add("rss_held_kb", "server resident memory before / held",
                        static_cast<double>(rssHeld), 0, "kB");
    rss.text = grouped(rssBefore / 1024.0, 1) + " / " + grouped(rssHeld / 1024.0, 1) + " MB";
    r.add("idle_cpu_pct", "server CPU while they idle, % of one core", idleCpu, 1, "%",
          Target{false, 1});
    r.add("idle_switches_per_s", "server context switches/s while they idle", switchesPerS, 0,
          "/s");
    const double acceptS =
        allLine.empty() ? NAN : summaryValue(summary, "all_connected_s").value_or(NAN);
    Figure& accept = r.add("accept_all_s", "time until every one was connected", acceptS, 2, "s");
    if (!std::isfinite(acceptS))
        accept.text = "not all: " + grouped(connected, 0) + " after " +
                      grouped(static_cast<double>(grewAt - rptStarted) / 1000.0, 1) + " s";
    Figure& fds = r.add("descriptors_held", "server descriptors before / held",
                        static_cast<double>(fdsHeld), 0, "");
    fds.text = grouped(static_cast<double>(fdsBefore), 0) + " / " +
               grouped(static_cast<double>(fdsHeld), 0);
    Figure& threads = r.add("threads_held", "server threads before / held",
                            static_cast<double>(threadsHeld), 0, "", Target{false, 32});
    threads.text = grouped(static_cast<double>(threadsBefore), 0) + " / " +
                   grouped(static_cast<double>(threadsHeld), 0);
    Figure& limitFigure = r.add("descriptor_soft_limit", "server descriptor limit, soft / hard",
                                static_cast<double>(soft), 0, "");
    limitFigure.text =
        (soft < 0 ? std::string("unlimited") : grouped(static_cast<double>(soft), 0)) + " / " +
        (hard < 0 ? std::string("unlimited") : grouped(static_cast<double>(hard), 0)) +
        " (started with " + grouped(static_cast<double>(m_serverNoFile), 0) + ")";
    r.ran = true;
}

// ---- klbench's load driver: the storm and the comparison with a broker ----

Peer Bench::relayPeer() const {
    return {"Kormlink", sim::LoadFlavour::Kormlink, m_server->folder.in, m_server->folder.out,
            m_server->pid()};
}

Peer Bench::brokerPeer() const {
    return {"broker", sim::LoadFlavour::Mqtt, m_broker->port, m_broker->port,
            m_broker->process.pid()};
}

sim::ExtraKeys Bench::stormKeys() const {
    sim::ExtraKeys keys;
    keys.in = "MaxConnections=" + std::to_string(kStormConnections + 100) + "\n";
    return keys;
}

bool Bench::waitFor(double ms, const std::function<bool()>& pred) {
    const Millis until = now() + static_cast<Millis>(ms);
    while (!pred()) {
        if (now() >= until || !pause(20)) return false;
    }
    return true;
}

bool Bench::startBroker(Result& r, const std::string& program) {
    std::string dir = m_o.parent + "/klbench-mosquitto-XXXXXX";
    if (!::mkdtemp(dir.data())) {
        fail(r, "cannot make a folder in " + m_o.parent);
        return false;
    }
    m_broker = std::make_unique<Broker>();
    m_broker->dir = dir;
    m_broker->port = sim::freePort();
    m_broker->log = dir + "/mosquitto.log";
    // The broker's defaults but for what the comparison needs: loopback only, no
    // authentication, nothing written to disk, and the queue of a subscriber that is away
    // bounded at 1,000 messages.
    const std::string conf = dir + "/mosquitto.conf";
    const std::string text = "listener " + std::to_string(m_broker->port) +
                             " 127.0.0.1\nallow_anonymous true\npersistence false\n"
                             "max_queued_messages 1000\n";
    if (m_broker->port == 0 || !replaceFileAtomically(conf, text, nullptr, false)) {
        fail(r, "cannot write " + conf);
        return false;
    }
    m_progress.step("starting the broker");
    // It runs with klbench's raised descriptor limit: it does not raise its own, and the storm
    // holds 10,000 connections to it.
    if (!m_broker->process.start(program, {"-c", conf}, dir, m_broker->log)) {
        fail(r, "cannot start " + program);
        return false;
    }
    const Millis bound = now() + 10'000;
    while (now() < bound) {
        if (!m_broker->process.running()) {
            fail(r, "the broker ended at start with status " +
                        std::to_string(m_broker->process.exitStatus()));
            return false;
        }
        if (TcpSocket::connectTo("127.0.0.1", m_broker->port, 200)) return true;
        sleepMs(50);
    }
    fail(r, "the broker did not listen within 10 s");
    return false;
}

bool Bench::stopBroker(Result& r) {
    if (!m_broker) return r.error.empty();
    if (!m_broker->process.running()) {
        fail(r, "the broker ended during the scenario with status " +
                    std::to_string(m_broker->process.exitStatus()));
    } else {
        m_progress.step("stopping the broker");
        m_broker->process.stop(10'000);
    }
    const bool ok = r.error.empty();
    if (!ok) {
        m_progress.say(r.name + ": could not run: " + r.error);
        const std::string tail = sim::fileTail(m_broker->log, 15);
        if (!tail.empty())
            std::fprintf(stderr, "klbench: the end of %s:\n%s", m_broker->log.c_str(),
                         tail.c_str());
    }
    if (m_o.keep || !ok) {
        m_kept.push_back(m_broker->dir);
    } else {
        std::error_code ec;
        fs::remove_all(m_broker->dir, ec);
    }
    m_broker.reset();
    return ok;
}

bool Bench::stopBetween(Result& r) {
    r.ran = true;
    const bool ok = stopServer(r);
    r.ran = false;
    return ok;
}

bool Bench::driveIngest(Result& r, const Peer& peer, DriverFigures& f) {
    auto ended = [&] {
        serverRunning(r);
        return false;
    };  // notes a server that went
    std::string why;
    if (peer.flavour == sim::LoadFlavour::Mqtt) {
        // One persistent subscriber that subscribed with QoS 1 and went away: the broker keeps
        // a queue for it (bounded by max_queued_messages), as the relay keeps its channel's
        // queue with no client attached.
        sim::LoadPlan q = peer.receiverPlan(kTopic, "klbench-queue");
        q.cleanSession = false;
        q.leaveAfterSubscribe = true;
        sim::LoadDriver queue(q);
        if (!queue.start(&why)) {
            fail(r, why);
            return false;
        }
        if (!waitFor(5000, [&] { return queue.counters().allGreetedMs >= 0; })) {
            if (serverRunning(r))
                fail(r, "the queue's subscriber was not subscribed within 5 s (" +
                            queue.counters().lastError + ")");
            return false;
        }
        queue.stop(0);
    }
    sim::LoadDriver load(peer.senderPlan());
    m_progress.step(peer.name + " ingest: connecting and warm-up");
    if (!load.start(&why)) {
        fail(r, why);
        return false;
    }
    if (!pause(m_w.warmup * 1000)) return ended();
    const std::uint64_t from = load.counters().acked;
    const Millis t0 = now();
    const CpuMeter server(peer.pid), self(::getpid());
    m_progress.step(peer.name + " ingest: measuring for " + grouped(m_w.ingest, 1) + " s");
    if (!pause(m_w.ingest * 1000)) return ended();
    const std::uint64_t to = load.counters().acked;
    const double s = static_cast<double>(now() - t0) / 1000.0;
    f.serverCpu = server.percent();
    f.driverCpu = self.percent();
    f.perS = static_cast<double>(to - from) / s;
    load.stop(2000);
    f.c = load.counters();
    if (to == from) {
        fail(r, peer.name + " answered nothing (" + f.c.lastError + ")");
        return false;
    }
    return true;
}

bool Bench::driveLatency(Result& r, const Peer& peer, DriverFigures& f) {
    auto ended = [&] {
        serverRunning(r);
        return false;
    };  // notes a server that went
    std::string why;
    sim::LoadDriver receiver(peer.receiverPlan(
        peer.flavour == sim::LoadFlavour::Mqtt ? kTopic : kChannel, "klbench-sub"));
    if (!receiver.start(&why)) {
        fail(r, why);
        return false;
    }
    if (!waitFor(5000, [&] { return receiver.counters().greeted == 1; })) {
        if (serverRunning(r))
            fail(r, "the receiving client was not ready within 5 s (" +
                        receiver.counters().lastError + ")");
        return false;
    }
    sim::LoadPlan plan = peer.senderPlan();
    plan.rate = kLatencyRate;
    sim::LoadDriver load(plan);
    m_progress.step(peer.name + " latency: " + grouped(kRepeaters * kLatencyRate, 0) +
                    " messages/s: warm-up, then " + grouped(m_w.latency, 0) + " s measured");
    if (!load.start(&why)) {
        fail(r, why);
        return false;
    }
    if (!pause((m_w.warmup + 1) * 1000)) return ended();
    receiver.recordLatenciesFrom(now());
    const std::uint64_t from = load.counters().acked;
    const Millis t0 = now();
    const CpuMeter server(peer.pid), self(::getpid());
    if (!pause(m_w.latency * 1000)) return ended();
    const std::uint64_t to = load.counters().acked;
    f.perS = static_cast<double>(to - from) / (static_cast<double>(now() - t0) / 1000.0);
    f.serverCpu = server.percent();
    f.driverCpu = self.percent();
    load.stop(5000);
    if (!pause(500)) return ended();  // the last messages reach the receiver
    const sim::LatencyHistogram h = receiver.latencies();
    receiver.stop(0);
    f.c = load.counters();
    if (h.count() == 0) {
        fail(r,
             "the receiving client recorded no latencies (" + receiver.counters().lastError + ")");
        return false;
    }
    f.latencyCount = h.count();
    f.latencyBins = histogramBins(h);
    f.p50 = h.percentile(0.50) / 1000.0;
    f.p99 = h.percentile(0.99) / 1000.0;
    f.max = h.max() / 1000.0;
    return true;
}

bool Bench::driveStorm(Result& r, const Peer& peer, DriverFigures& f) {
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    if (lim.rlim_cur != RLIM_INFINITY && lim.rlim_cur < kStormConnections + 100) {
        fail(r, "klbench's descriptor limit (" + std::to_string(lim.rlim_cur) +
                    ") is too low for " + grouped(kStormConnections, 0) + " connections");
        return false;
    }
    const int perConnection = m_o.quick ? kStormEventsQuick : kStormEvents;
    f.expected = static_cast<std::uint64_t>(kStormConnections) * perConnection;
    sim::LoadPlan plan;
    plan.flavour = peer.flavour;
    plan.port = peer.in;
    plan.connections = kStormConnections;
    plan.threads = kDriverThreads;
    plan.perConnection = static_cast<std::uint64_t>(perConnection);
    plan.channel = kTopic;
    plan.clientPrefix = "klbench-storm";
    const long overflowsBefore = tcpExtCounter("ListenOverflows");
    const CpuMeter server(peer.pid), self(::getpid());
    const Millis t0 = now();
    sim::LoadDriver load(plan);
    std::string why;
    if (!load.start(&why)) {
        fail(r, why);
        return false;
    }
    const Millis bound = t0 + static_cast<Millis>(m_w.storm * 1000);
    Millis shown = 0;
    sim::LoadCounters c;
    for (;;) {
        c = load.counters();
        if (c.allAnsweredMs >= 0 || now() >= bound) break;
        if (now() - shown >= 1000) {
            shown = now();
            m_progress.step(peer.name + " storm: " + grouped(c.greetedOnce, 0) + " of " +
                            grouped(kStormConnections, 0) + " greeted, " +
                            grouped(static_cast<double>(c.acked), 0) + " of " +
                            grouped(static_cast<double>(f.expected), 0) + " answered");
        }
        if (!pause(20)) {
            serverRunning(r);
            return false;
        }
    }
    f.serverCpu = server.percent();
    f.driverCpu = self.percent();
    f.elapsedS = static_cast<double>(now() - t0) / 1000.0;
    const long overflowsAfter = tcpExtCounter("ListenOverflows");
    if (overflowsBefore >= 0 && overflowsAfter >= 0)
        f.listenOverflows = overflowsAfter - overflowsBefore;
    f.c = c;
    f.allAnsweredS = c.allAnsweredMs >= 0 ? static_cast<double>(c.allAnsweredMs) / 1000.0 : NAN;
    f.slowestGreetingS =
        c.allGreetedMs >= 0 ? static_cast<double>(c.slowestGreetingMs) / 1000.0 : NAN;
    m_progress.step(peer.name + " storm: closing the connections");
    load.stop(0);
    return true;
}

namespace {

std::string percentText(double v) { return std::isfinite(v) ? grouped(v, 0) + " %" : "-"; }

// A storm's completion time, or how far it got.
std::string stormTimeText(const DriverFigures& f) {
    if (std::isfinite(f.allAnsweredS)) return grouped(f.allAnsweredS, 2) + " s";
    return "not all: " + grouped(static_cast<double>(f.c.acked), 0) + " of " +
           grouped(static_cast<double>(f.expected), 0) + " after " + grouped(f.elapsedS, 0) + " s";
}

// The retries, and why they were made.
std::string retriesText(const DriverFigures& f) {
    std::string text = grouped(static_cast<double>(f.c.connectRetries), 0);
    std::string why;
    for (const auto& [reason, count] : f.c.retryReasons)
        why += (why.empty() ? "" : ", ") + grouped(static_cast<double>(count), 0) + " " + reason;
    return why.empty() ? text : text + " (" + why + ")";
}

std::string greetingText(const DriverFigures& f) {
    if (std::isfinite(f.slowestGreetingS)) return grouped(f.slowestGreetingS, 3) + " s";
    return "not all greeted: " + grouped(f.c.greetedOnce, 0) + " of " +
           grouped(kStormConnections, 0);
}

}  // namespace

void Bench::storm(Result& r) {
    if (!startServer(r, stormKeys())) return;
    DriverFigures f;
    if (!driveStorm(r, relayPeer(), f)) return;
    const int n = kStormConnections;
    r.add("all_answered_s",
          "time until all " + grouped(static_cast<double>(f.expected), 0) + " events were answered",
          f.allAnsweredS, 2, "s")
        .text = stormTimeText(f);
    r.add("slowest_greeting_s", "slowest greeting: from connect() to the greeting line",
          f.slowestGreetingS, 3, "s", Target{false, 1})
        .text = greetingText(f);
    Figure& greeted = r.add("greeted", "connections greeted", f.c.greetedOnce, 0, "",
                            Target{true, static_cast<double>(n)});
    greeted.text = grouped(f.c.greetedOnce, 0) + " of " + grouped(n, 0);
    r.add("connect_retries", "connect() attempts failed or timed out, and made again",
          static_cast<double>(f.c.connectRetries), 0, "")
        .text = retriesText(f);
    r.add("broken", "connections broken after the greeting (no answer in 10 s)",
          static_cast<double>(f.c.broken), 0, "")
        .text = grouped(static_cast<double>(f.c.broken), 0) + " (" +
                grouped(static_cast<double>(f.c.answerTimeouts), 0) + ")";
    r.add("resent", "events sent again on a new connection", static_cast<double>(f.c.resent), 0,
          "");
    r.add("listen_overflows",
          "accept queue overflows meanwhile (kernel ListenOverflows, somaxconn " +
              grouped(static_cast<double>(somaxconn()), 0) + ")",
          static_cast<double>(f.listenOverflows), 0, "");
    r.add("server_cpu_pct", "server CPU over the storm, % of one core", f.serverCpu, 0, "%");
    r.add("driver_cpu_pct", "klbench driver CPU over the storm, % of one core", f.driverCpu, 0,
          "%");
    m_relayStorm = f;
    r.ran = true;
}

void Bench::broker(Result& r) {
    const std::string program = findBroker(m_o.broker);
    if (program.empty())
        return fail(r,
                    "mosquitto not found beside klbench, on PATH or in /usr/sbin (Debian's "
                    "package mosquitto: scripts/ensure-deps.sh mosquitto; or --broker PATH)");
    if (!sim::isProgramFile(program)) return fail(r, program + ": not an executable file");
    DriverFigures kIngest, bIngest, kLatency, bLatency, kStorm, bStorm;
    if (!startServer(r, {}) || !driveIngest(r, relayPeer(), kIngest) || !stopBetween(r)) return;
    if (!startBroker(r, program) || !driveIngest(r, brokerPeer(), bIngest) || !stopBroker(r))
        return;
    if (!startServer(r, {}) || !driveLatency(r, relayPeer(), kLatency) || !stopBetween(r)) return;
    if (!startBroker(r, program) || !driveLatency(r, brokerPeer(), bLatency) || !stopBroker(r))
        return;
    const bool stormReused = m_relayStorm.has_value();
    if (stormReused)
        kStorm = *m_relayStorm;
    else if (!startServer(r, stormKeys()) || !driveStorm(r, relayPeer(), kStorm) || !stopBetween(r))
        return;
    if (!startBroker(r, program) || !driveStorm(r, brokerPeer(), bStorm) || !stopBroker(r)) return;

    const std::string version = brokerVersion(program);
    r.add("broker", "the broker, QoS 1; every figure here from klbench's driver", 0, 0, "").text =
        version.empty() ? program : version;
    r.add("ingest_kormlink_per_s",
          "ingest, " + grouped(kRepeaters, 0) + " connections stop-and-wait: Kormlink events/s",
          kIngest.perS, 0, "/s");
    r.add("ingest_broker_per_s", "ingest: broker messages/s (PUBLISH, PUBACK)", bIngest.perS, 0,
          "/s");
    r.add("ingest_ratio", "ingest: ratio Kormlink / broker", kIngest.perS / bIngest.perS, 2, "",
          Target{true, 1.2});
    r.add("ingest_server_cpu_pct", "ingest: server CPU, Kormlink / broker", kIngest.serverCpu, 0,
          "%")
        .text = percentText(kIngest.serverCpu) + " / " + percentText(bIngest.serverCpu);
    r.add("ingest_driver_cpu_pct", "ingest: klbench CPU, Kormlink run / broker run",
          kIngest.driverCpu, 0, "%")
        .text = percentText(kIngest.driverCpu) + " / " + percentText(bIngest.driverCpu);
    r.add("latency_per_s",
          "latency, " + grouped(kRepeaters * kLatencyRate, 0) +
              "/s over 1,000 connections: answered/s, Kormlink / broker",
          kLatency.perS, 0, "/s")
        .text = grouped(kLatency.perS, 0) + " / " + grouped(bLatency.perS, 0) + " /s";
    r.add("latency_kormlink_p50_ms", "latency: Kormlink p50, send to receive", kLatency.p50, 3,
          "ms");
    r.add("latency_kormlink_p99_ms", "latency: Kormlink p99", kLatency.p99, 3, "ms");
    r.add("latency_kormlink_max_ms", "latency: Kormlink max", kLatency.max, 3, "ms");
    r.add("latency_broker_p50_ms", "latency: broker p50, publish to receive", bLatency.p50, 3,
          "ms");
    r.add("latency_broker_p99_ms", "latency: broker p99", bLatency.p99, 3, "ms");
    r.add("latency_broker_max_ms", "latency: broker max", bLatency.max, 3, "ms");
    r.add("latency_p99_ratio", "latency: p99 ratio Kormlink / broker", kLatency.p99 / bLatency.p99,
          2, "", Target{false, 1});
    LatencyPlot plot;
    auto series = [](const char* name, const char* tag, const DriverFigures& f) {
        return LatencySeries{name,         tag,          f.latencyBins, f.p50 * 1000,
                             f.p99 * 1000, f.max * 1000, f.perS};
    };
    plot.series = {series("Kormlink", "Kormlink", kLatency),
                   series("mosquitto (QoS 1)", "mosquitto", bLatency)};
    plot.eventsPerS = kRepeaters * kLatencyRate;
    plot.repeaters = kRepeaters;
    plot.caption = "Kormlink, then " + (version.empty() ? std::string("mosquitto") : version) +
                   " with QoS 1, in the same run; both driven by klbench's load driver, " +
                   grouped(m_w.latency, 0) + " s measured after a warm-up";
    m_comparePlot = plot;
    const std::string shape = grouped(kStormConnections, 0) + " connections x " +
                              std::to_string(m_o.quick ? kStormEventsQuick : kStormEvents);
    r.add("storm_kormlink_s",
          "storm, " + shape + " at once: Kormlink time until all answered" +
              (stormReused ? " (the storm scenario's)" : ""),
          kStorm.allAnsweredS, 2, "s")
        .text = stormTimeText(kStorm);
    r.add("storm_broker_s", "storm: broker time until all acknowledged", bStorm.allAnsweredS, 2,
          "s")
        .text = stormTimeText(bStorm);
    r.add("storm_ratio", "storm: ratio broker time / Kormlink time",
          bStorm.allAnsweredS / kStorm.allAnsweredS, 2, "", Target{true, 1});
    r.add("storm_kormlink_slowest_greeting_s", "storm: Kormlink slowest greeting",
          kStorm.slowestGreetingS, 3, "s", Target{false, 1})
        .text = greetingText(kStorm);
    r.add("storm_broker_slowest_connack_s", "storm: broker slowest CONNACK",
          bStorm.slowestGreetingS, 3, "s")
        .text = greetingText(bStorm);
    r.add("storm_connect_retries", "storm: connect() retries, Kormlink / broker",
          static_cast<double>(kStorm.c.connectRetries), 0, "")
        .text = retriesText(kStorm) + " / " + retriesText(bStorm);
    r.add("storm_listen_overflows", "storm: accept queue overflows, Kormlink / broker",
          static_cast<double>(kStorm.listenOverflows), 0, "")
        .text = grouped(static_cast<double>(kStorm.listenOverflows), 0) + " / " +
                grouped(static_cast<double>(bStorm.listenOverflows), 0);
    r.add("storm_server_cpu_pct", "storm: server CPU, Kormlink / broker", kStorm.serverCpu, 0, "%")
        .text = percentText(kStorm.serverCpu) + " / " + percentText(bStorm.serverCpu);
    r.ran = true;
}

void Bench::runScenario(Result& r) {
    if (r.name == "limit") {
        limit(r);
    } else if (r.name == "ingest") {
        ingest(r, "ingest", 0, false, m_w.ingest, Target{true, 40'000}, "stop-and-wait");
    } else if (r.name == "batch") {
        ingest(r, "batch", kBatch, false, m_w.ingest, Target{true, 100'000}, "batches of 50");
    } else if (r.name == "fsync") {
        ingest(r, "fsync", 0, true, m_w.fsync, Target{true, 10'000}, "fsync, stop-and-wait");
        if (r.ran && stopServer(r)) {
            r.ran = false;
            ingest(r, "fsync_batch", kBatch, true, m_w.fsync, std::nullopt, "fsync, batches of 50");
        }
    } else if (r.name == "drain") {
        drain(r);
    } else if (r.name == "latency") {
        latency(r);
    } else if (r.name == "scale") {
        scale(r);
    } else if (r.name == "storm") {
        storm(r);
    } else if (r.name == "broker") {
        broker(r);
    }
    stopBroker(r);
    stopServer(r);
}

int Bench::run() {
    const Machine machine = thisMachine();
    const Millis start = now();
    {
        char when[64];
        const std::time_t t = std::time(nullptr);
        tm local{};
        ::localtime_r(&t, &local);
        std::strftime(when, sizeof when, "%Y-%m-%d %H:%M", &local);
        std::printf("klbench: %s run, %s\n", m_o.quick ? "quick" : "full", when);
    }
    std::printf("%s\n", machineLine(machine).c_str());
    std::printf("server:  %s (descriptor soft limit at start %llu)\n", m_o.server.c_str(),
                static_cast<unsigned long long>(m_serverNoFile));
    std::fflush(stdout);

    std::vector<Result> results;
    std::size_t index = 0;
    for (const std::string& name : kAllScenarios) {
        if (std::find(m_o.only.begin(), m_o.only.end(), name) == m_o.only.end()) continue;
        Result& r = results.emplace_back();
        r.name = name;
        m_progress.begin(name, ++index, m_o.only.size());
        const Millis from = now();
        runScenario(r);
        r.seconds = static_cast<double>(now() - from) / 1000.0;
        m_progress.end();
    }
    const double totalS = static_cast<double>(now() - start) / 1000.0;
    std::printf("\n");
    printTable(results);
    std::printf("\nklbench: %.0f s in all\n", totalS);
    for (const std::string& dir : m_kept)
        std::printf("klbench: data folder kept: %s\n", dir.c_str());

    bool ok = std::all_of(results.begin(), results.end(), [](const Result& r) { return r.ran; });
    std::string why;
    if (!m_o.json.empty() &&
        !replaceFileAtomically(m_o.json, resultsJson(machine, m_o, results, totalS), &why, false)) {
        std::fprintf(stderr, "klbench: %s: %s\n", m_o.json.c_str(), why.c_str());
        ok = false;
    }
    if (!m_o.svg.empty()) {
        // The comparison when the broker scenario ran through, else the latency scenario's.
        std::optional<LatencyPlot> plot = m_comparePlot ? m_comparePlot : m_plot;
        if (plot) plot->machine = machineLine(machine);
        if (!plot) {
            std::fprintf(stderr,
                         "klbench: no latency figures for %s (neither the latency nor the broker "
                         "scenario ran through)\n",
                         m_o.svg.c_str());
        } else if (!replaceFileAtomically(m_o.svg, latencySvg(*plot), &why, false)) {
            std::fprintf(stderr, "klbench: %s: %s\n", m_o.svg.c_str(), why.c_str());
            ok = false;
        }
    }
    return ok ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace kormlink::sim;
    Options o;
    const ToolCommandLine line{
        .program = "klbench",
        .usage = kUsage,
        .options = {flag("quick", o.quick), flag("keep", o.keep),
                    value("only", [&](const std::string& v) { o.only = splitList(v); }),
                    text("json", o.json), text("svg", o.svg), text("server", o.server),
                    text("rptsim", o.rptsim), text("monsim", o.monsim), text("broker", o.broker),
                    text("dir", o.parent)},
        .usageAfterMissingValue = false};
    if (int code = parseToolOptions(line, argc, argv); code >= 0) return code;
    for (const std::string& s : o.only)
        if (std::find(kAllScenarios.begin(), kAllScenarios.end(), s) == kAllScenarios.end())
            return usageError(line, "unknown scenario " + s);
    // The table keeps the fixed order; --only picks, it does not reorder.
    std::vector<std::string> picked;
    for (const std::string& s : kAllScenarios)
        if (std::find(o.only.begin(), o.only.end(), s) != o.only.end()) picked.push_back(s);
    o.only = picked;
    for (auto [path, name] :
         {std::pair{&o.server, "kormlink"}, {&o.rptsim, "rptsim"}, {&o.monsim, "monsim"}}) {
        if (path->empty()) {
            *path = findProgram(name);
            if (path->empty()) {
                std::fprintf(stderr,
                             "klbench: %s not found beside klbench, in the programs folder or on "
                             "PATH (see --server, --rptsim, --monsim)\n",
                             name);
                return 1;
            }
        }
        if (::access(path->c_str(), X_OK) != 0) {
            std::fprintf(stderr, "klbench: %s: %s (see --server, --rptsim, --monsim)\n",
                         path->c_str(), std::strerror(errno));
            return 1;
        }
    }
    // rptsim, a child of this process, holds 10,000 sockets in the scale scenario: the soft limit
    // is raised to the hard one here. The server is started with the limit this process was
    // started with.
    rlimit lim{};
    ::getrlimit(RLIMIT_NOFILE, &lim);
    const rlim_t startedWith = lim.rlim_cur;
    if (lim.rlim_cur < lim.rlim_max) {
        lim.rlim_cur = lim.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &lim);
    }
    ::signal(SIGPIPE, SIG_IGN);
    return Bench(std::move(o), startedWith).run();
}
