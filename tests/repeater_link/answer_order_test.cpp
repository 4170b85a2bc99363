// An answer is the repeater's receipt for its events: it leaves only after the events were
// logged, routed and kept in the channel journals, and not at all while they cannot be kept.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <atomic>
#include <filesystem>

#include "output/queue_journal.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ServerHarness;

// Lines told apart by their transmitter; system 2 is channel B's below, a number >= 0 makes
// a batch line.
std::string distinct(unsigned n, char system = '1', int number = -1) {
    return EventSpec{.system = system, .transmitter = test::hex3(n), .number = number,
                     .length = number < 0 ? 72u : 74u}.build();
}

std::size_t journalLines(const ServerHarness& h) {
    return readJournal(h.dir().read("A.jnl")).lines.size();
}

// The routing of each line is slowed down on the main thread; an answer that arrives before
// the routing finished (or before the journal holds the line) fails the test.
TEST(AnswerOrder, AnswersLeaveOnlyAfterTheirLinesAreRoutedAndJournaled) {
    for (const char* fsync : {"0", "1"}) {
        SCOPED_TRACE(std::string("Fsync=") + fsync);
        ServerHarness h(std::string("[In]\nPort=0\n[Opt]\nFsync=") + fsync +
                        "\n[Client0]\nId=A\nQSize=1000\n[Sock]\nACKDelay=0\n");
        std::atomic<int> routed{0};
        h.onMain([&](Server& s) {
            s.setEventTap([&](const std::string&, EventSource) {
                sleepMs(150);
                ++routed;
            });
        });
        auto rpt = h.repeater();
        rpt->send(distinct(1));
        ASSERT_EQ(rpt->readLine(), "");
        EXPECT_EQ(routed.load(), 1);
        EXPECT_EQ(journalLines(h), 1u);

        // A batch: its acknowledgement follows the routing of all of its lines.
        for (int n = 1; n <= 3; ++n) rpt->send(distinct(10 + n, '1', n));
        rpt->send("");
        ASSERT_EQ(rpt->readLine(), "D3/");
        EXPECT_EQ(routed.load(), 4);
        EXPECT_EQ(journalLines(h), 4u);

        // A command answering an event line leaves after the event, too.
        ASSERT_TRUE(h.queueCommand(0xA1B2, "ping"));
        rpt->send(distinct(20));
        ASSERT_EQ(rpt->readLine(), "ping");
        EXPECT_EQ(routed.load(), 5);
        EXPECT_EQ(journalLines(h), 5u);
        // The log records keep their order: the command, then the event that carried it.
        const auto log = h.logLines(0);
        ASSERT_GE(log.size(), 2u);
        EXPECT_EQ(log[log.size() - 2], "A1B2:->ping");
        EXPECT_EQ(log.back(), distinct(20));
        if (std::string(fsync) == "1") {
            EXPECT_GT(h.onMain([](Server& s) { return s.journalSync().syncCount(); }), 0u);
        }
    }
}

// A journal that cannot be written (here: the file size limit, which fails writes like a full
// disk) stops the answers to the lines it should keep, and only those: a pending command waits
// for an answer that leaves. Once writes succeed again the repeater's next try is answered.
TEST(AnswerOrder, NoAnswerWhileTheJournalCannotBeWritten) {
    ::signal(SIGXFSZ, SIG_IGN);
    ServerHarness h(
        "[In]\nPort=0\n[Sock]\nACKDelay=0\n[Client0]\nId=A\nFlt0=0;4095;$01;$FF;1\n"
        "[Client1]\nId=B\nFlt0=0;4095;$02;$FF;1\n");
    auto toB = [](unsigned n) { return distinct(n, '2'); };
    auto rpt = h.repeater();
    for (unsigned n = 1; n <= 5; ++n) {
        rpt->send(toB(n));
        ASSERT_EQ(rpt->readLine(), "");
    }
    rpt->send(distinct(1));
    ASSERT_EQ(rpt->readLine(), "");

    // Room for two more records in A's journal, none in B's, which is larger.
    rlimit unlimited{};
    ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    rlimit full = unlimited;
    full.rlim_cur = std::filesystem::file_size(h.dir().file("A.jnl")) + 2 * 89;
    ASSERT_LT(full.rlim_cur, std::filesystem::file_size(h.dir().file("B.jnl")));
    ASSERT_TRUE(h.queueCommand(0xA1B2, "ping"));
    testing::internal::CaptureStderr();
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &full), 0);
    rpt->send(toB(6));
    EXPECT_EQ(rpt->readLine(1500), std::nullopt);
    rpt->send(toB(7));
    EXPECT_EQ(rpt->readLine(1500), std::nullopt);
    // A line for A is kept, so it is answered, and the command waited for that answer.
    rpt->send(distinct(2));
    EXPECT_EQ(rpt->readLine(), "ping");
    ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);

    // The repeater sends its unanswered line again until it is answered.
    bool answered = false;
    for (int i = 0; i < 10 && !answered; ++i) {
        rpt->send(toB(7));
        answered = rpt->readLine(1000) == std::optional<std::string>("");
    }
    EXPECT_TRUE(answered);
    const std::string err = testing::internal::GetCapturedStderr();
    // Said once when it began and once when it ended, not for every line.
    auto once = [&](const char* what) {
        return err.find(what) != std::string::npos && err.find(what) == err.rfind(what);
    };
    EXPECT_TRUE(once("cannot keep the queue of channel \"B\"")) << err;
    EXPECT_TRUE(once("is written again")) << err;
    EXPECT_EQ(err.find("channel \"A\""), std::string::npos) << err;
}

}  // namespace
}  // namespace kormlink
