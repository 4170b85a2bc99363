// Every failure point of the queue files, one at a time: a fixed scenario runs in a child
// process whose Nth open, write, sync, rename or truncate fails (ENOSPC, EIO) or ends the
// process right there (a write torn in half), for every N. Afterwards the folder is taken over
// as at a start, and what the child answered and delivered is held against what survived.

#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdio>
#include <set>
#include <string>
#include <vector>

#include "output/channels.h"
#include "platform/file_io.h"
#include "support/harness.h"

namespace kormlink {
namespace {

const LocalTime kNow{2026, 12, 6, 12, 0, 0};
// A takes transmitters below 0x100 and never overflows; B takes the others, QSize 3.
constexpr const char* kIni =
    "[Opt]\nLifeTime=4:00\n[Client0]\nId=A\nQSize=1000\nFlt0=0;255;1;255;0\n"
    "[Client1]\nId=B\nQSize=3\nFlt0=256;4095;1;255;0\n";
constexpr int kDeliveriesPerBatch = 16;  // removals a crash can lose: the repeat bound

// Every eighth line goes to channel B.
bool isB(unsigned n) { return n % 8 == 7; }

// Line n, unique by its state field; channel B's lines have transmitters from 0x100.
std::string line(unsigned n) {
    test::EventSpec e;
    e.stamp = "2026/12/06 11:59:00";
    e.transmitter = test::hex3(isB(n) ? 0x100 + n % 0xF00 : 0x10 + n % 0xF0);
    char state[17];
    std::snprintf(state, sizeof state, "%016X", n);
    e.state = state;
    return e.build();
}
unsigned numberOf(const std::string& text) {
    return static_cast<unsigned>(std::stoul(text.substr(46, 16), nullptr, 16));
}

// FailThenCrash: the call fails, and once the answers of that batch have left the process ends
// at the next call, before a retry can mend what the failure left.
enum class Fault { None, NoSpace, IoError, Crash, FailThenCrash };

struct Injection {
    static inline long countdown = -1;  // the fault strikes when it reaches 0
    static inline long seen = 0;
    static inline Fault fault = Fault::None;
    static inline bool crashAfterBatch = false;
    static void batchAnswered() {
        if (!crashAfterBatch) return;
        fault = Fault::Crash;
        countdown = 0;
    }
    static int hook(fileio::Op op, int fd, const char*, const void* data, std::size_t size) {
        ++seen;
        if (countdown < 0 || countdown-- != 0) return 0;
        if (fault == Fault::FailThenCrash) {
            crashAfterBatch = true;
            return EIO;
        }
        if (fault == Fault::Crash) {
            if (op == fileio::Op::Write && size > 1 && ::write(fd, data, size / 2) < 0) _exit(3);
            _exit(0);
        }
        return fault == Fault::NoSpace ? ENOSPC : EIO;
    }
};

// The scenario, as the server drives a channel list: lines routed in batches and answered
// when their receipt is kept, heads delivered, B overflowing, A's journal compacted, a line
// expired, a settings restart, an orderly stop, a start, and the answers checked to resume.
// Each fact goes to the parent as a line on out at once, so it survives the child's end.
void scenario(const std::string& dir, bool fsync, int out) {
    JournalSync sync;
    sync.setFsyncMode(fsync);
    OffsetClock clock;
    const IniFile ini = IniFile::parse(kIni);
    auto list = std::make_unique<tOList>(ini, dir, false, &sync);
    list->setClock(clock);
    unsigned next = 0;
    struct Routed {
        unsigned n;
        bool kept;
        std::uint64_t from, ticket, mask;
    };
    // One batch: route, deliver from A's head, then the batch's write; answers after it.
    auto batch = [&](int count, int deliver, const std::vector<unsigned>& again = {}) {
        std::vector<Routed> routed;
        auto route = [&](unsigned n) {
            std::string text = line(n);
            list->RouteEvent(text, true, kNow);
            routed.push_back({n, list->lastRouteKept(), list->lastRouteFrom(), sync.written(),
                              list->lastRouteJournals()});
        };
        for (unsigned n : again) route(n);
        for (int i = 0; i < count; ++i) route(next++);
        for (int i = 0; i < deliver; ++i) {
            const tOList::Head head = list->FetchHead("A");
            if (head.text.empty()) break;
            dprintf(out, "D%u\n", numberOf(head.text));
            list->RemoveLine("A", head.seq);
        }
        list->afterBatch();
        clock.advance(tOList::kJournalRetryMs);
        bool all = true;
        for (const Routed& r : routed) {
            const bool answered = r.kept && sync.await(r.from, r.ticket, r.mask, 0, nullptr);
            if (answered) dprintf(out, "A%u\n", r.n);
            all = all && answered;
        }
        Injection::batchAnswered();
        return all;
    };
    auto restart = [&] {
        list->SaveQueues();
        list = std::make_unique<tOList>(ini, dir, false, &sync);
        list->setClock(clock);
    };

    for (int round = 0; round < 50; ++round) batch(kDeliveriesPerBatch + 3, kDeliveriesPerBatch);
    // A line outlives LifeTime unsent.
    const tOList::Head old = list->FetchHead("A");
    dprintf(out, "X%u\n", numberOf(old.text));
    list->RemoveLine("A", old.seq, true);
    batch(0, 0);
    restart();  // the settings dialog's OK
    batch(8, 3);
    restart();  // an orderly stop and a start
    batch(8, 3);
    // Answers come back once nothing fails: the repeaters send an unanswered line again.
    const unsigned a = next, b = next + 7 - next % 8;  // one line for each channel
    next = b + 1;
    bool resumed = false;
    for (int attempt = 0; attempt < 3 && !resumed; ++attempt) resumed = batch(0, 0, {a, b});
    if (resumed) dprintf(out, "R0\n");
    // Ends here without a stop, as a kill would: the parent takes the folder over.
}

struct Outcome {
    std::set<unsigned> answered, delivered, expired;
    bool resumed = false;
    long ops = 0;
    int status = -1;
};

Outcome runChild(const std::string& dir, bool fsync, Fault fault, long at) {
    int pipeFds[2];
    if (::pipe(pipeFds) != 0) return {};
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(pipeFds[0]);
        Injection::fault = fault;
        Injection::countdown = at;
        fileio::setFaultHook(&Injection::hook);
        ::dup2(::open("/dev/null", O_WRONLY), 2);  // the scenario's complaints are expected
        scenario(dir, fsync, pipeFds[1]);
        dprintf(pipeFds[1], "T%ld\n", Injection::seen);
        ::close(pipeFds[1]);
        _exit(0);
    }
    ::close(pipeFds[1]);
    Outcome o;
    FILE* facts = ::fdopen(pipeFds[0], "r");
    char what = 0;
    unsigned n = 0;
    while (std::fscanf(facts, " %c%u", &what, &n) == 2) {
        switch (what) {
        case 'A': o.answered.insert(n); break;
        case 'D': o.delivered.insert(n); break;
        case 'X': o.expired.insert(n); break;
        case 'R': o.resumed = true; break;
        case 'T': o.ops = n; break;
        }
    }
    std::fclose(facts);
    ::waitpid(pid, &o.status, 0);
    return o;
}

// Takes the folder over as a start does and checks the promise; "" when it holds.
std::string check(const std::string& dir, const Outcome& o, Fault fault) {
    JournalSync sync;
    testing::internal::CaptureStderr();  // what the take-over reports is expected
    tOList list(IniFile::parse(kIni), dir, false, &sync);
    testing::internal::GetCapturedStderr();
    std::multiset<unsigned> kept;
    std::string why;
    for (std::size_t c = 0; c < list.size(); ++c)
        for (const std::string& text : test::queueTexts(list.at(c))) {
            const unsigned n = numberOf(text);
            if (text != line(n) || isB(n) != (c == 1)) why += "a line never received; ";
            kept.insert(n);
        }
    std::size_t repeats = 0;
    for (unsigned n : kept) {
        if (kept.count(n) > 1) why += "line " + std::to_string(n) + " kept twice; ";
        repeats += o.delivered.count(n);
    }
    if (repeats > kDeliveriesPerBatch) why += std::to_string(repeats) + " lines again; ";
    // Channel A never overflows: each of its answered lines is delivered, expired or kept.
    for (unsigned n : o.answered)
        if (!isB(n) && !o.delivered.count(n) && !o.expired.count(n) && !kept.count(n))
            why += "answered line " + std::to_string(n) + " lost; ";
    const bool ends = fault == Fault::Crash || fault == Fault::FailThenCrash;
    if (!ends && !o.resumed) why += "answers did not resume; ";
    if (o.status != 0) why += "the run ended with status " + std::to_string(o.status) + "; ";
    return why;
}

TEST(FaultMatrix, EveryFailurePointKeepsWhatWasAnswered) {
    // The faults are simulated, so the disk's own syncs only cost time: in memory where it can.
    if (::access("/dev/shm", W_OK) == 0) ::setenv("TMPDIR", "/dev/shm", 1);
    for (bool fsync : {false, true}) {
        test::TempDir clean;
        const Outcome dry = runChild(clean.path(), fsync, Fault::None, -1);
        ASSERT_EQ(check(clean.path(), dry, Fault::None), "") << "without faults";
        ASSERT_GT(dry.ops, 100);
        ASSERT_GT(dry.answered.size(), 900u);
        for (Fault fault : {Fault::NoSpace, Fault::IoError, Fault::Crash, Fault::FailThenCrash}) {
            for (long at = 0; at < dry.ops; ++at) {
                test::TempDir dir;
                const Outcome o = runChild(dir.path(), fsync, fault, at);
                ASSERT_EQ(check(dir.path(), o, fault), "")
                    << (fsync ? "fsync, " : "") << "fault " << int(fault) << " at operation " << at
                    << " of " << dry.ops;
            }
        }
        std::printf("fault matrix, fsync %d: %ld failure points x 4 kinds\n", int(fsync), dry.ops);
    }
}

}  // namespace
}  // namespace kormlink
