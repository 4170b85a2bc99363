// The conversation with one repeater, byte for byte, over loopback.

#include <gtest/gtest.h>

#include <regex>

#include "core/event_line.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;
using test::ServerHarness;

const char* kFastIni = "[In]\nPort=0\nSyncP=1\n[Sock]\nCmdDelay=1000\n";

EventSpec numbered(int n) { return EventSpec{.number = n, .length = 74}; }

class Protocol : public ::testing::Test {
protected:
    explicit Protocol(const char* ini = kFastIni) : h(ini), rpt(h.port()) {}
    void SetUp() override {
        ASSERT_TRUE(rpt.connected());
        ASSERT_TRUE(rpt.readWelcome());
    }
    // Sends a line (by default a plain event, teaching the server Id 00A1B2); reads the answer.
    std::optional<std::string> answerTo(const std::string& line = EventSpec{}.build()) {
        rpt.send(line);
        return rpt.readLine();
    }
    ServerHarness h;
    ScriptedRepeater rpt;
};

// Numbered lines get no answer of their own; the empty line after them is answered with their
// count, or D0/ when a number is out of place.
TEST_F(Protocol, AnEmptyLineAcknowledgesTheBatchWithItsCount) {
    // The numbers sent before the empty line (0: a plain event, answered at once).
    const std::pair<std::vector<int>, std::optional<std::string>> cases[] = {
        {{}, std::nullopt},  // no batch: not answered
        {{1, 2, 3}, "D3/"},
        {{1, 2, 4}, "D0/"},
        {{1, 2}, "D2/"},        // the count starts again after an acknowledgement
        {{1, 0}, std::nullopt},  // a plain line inside a batch resets the count
    };
    for (const auto& [numbers, answer] : cases) {
        for (int n : numbers) {
            if (n == 0) EXPECT_EQ(answerTo(), "");
            else rpt.send(numbered(n).build());
        }
        rpt.send("");
        EXPECT_EQ(answer ? rpt.readLine() : rpt.readLine(400), answer) << numbers.size();
    }
    // Numbered lines are passed on and logged with "#3".
    ASSERT_TRUE(h.waitRouted(1));
    EXPECT_EQ(h.routed()[0].substr(12, 2), "#3");
    EXPECT_EQ(h.logLines(0)[0].substr(12, 2), "#3");
}

TEST_F(Protocol, CommandTakesThePlaceOfTheAcknowledgementOrFollowsThatOfABatch) {
    ASSERT_EQ(answerTo(), "");
    ASSERT_TRUE(h.queueCommand(0xA1B2, "  RESET 1 "));
    EXPECT_EQ(answerTo(), "  RESET 1 ");  // sent unchanged
    EXPECT_EQ(answerTo(), "");           // and only once
    // Shown and logged with the Id; only the ends of "->" + command are trimmed.
    EXPECT_TRUE(h.shown("A1B2:->  RESET 1"));
    EXPECT_TRUE(h.logged(0, "A1B2:->  RESET 1"));
    // A reply is shown in the command window with the Id.
    rpt.send("RESET done");
    EXPECT_FALSE(rpt.readLine(300));
    EXPECT_TRUE(h.shown("A1B2:RESET done"));

    // After a batch the command follows its acknowledgement.
    h.clock().advance(1'001);  // past CmdDelay since the last command
    ASSERT_TRUE(h.queueCommand(0xA1B2, "stat"));
    for (int n : {1, 2}) rpt.send(numbered(n).build());
    EXPECT_EQ(answerTo(""), "D2/stat");
    EXPECT_TRUE(h.logged(0, "A1B2:->D2/stat"));
}

TEST_F(Protocol, TimeSynchronisationRepeatsUntilOk) {
    ASSERT_EQ(answerTo(), "");
    h.clock().advance(61'000);  // SyncP is one minute
    auto first = answerTo();
    ASSERT_TRUE(first);
    EXPECT_TRUE(std::regex_match(*first, std::regex(R"(systime\d\d(,\d\d){5})"))) << *first;
    EXPECT_EQ(answerTo(), "");  // within CmdDelay: a plain acknowledgement
    h.clock().advance(1'001);
    // Due again; after a batch it follows the acknowledgement.
    rpt.send(numbered(1).build());
    auto again = answerTo("");
    ASSERT_TRUE(again);
    EXPECT_EQ(again->rfind("D1/systime", 0), 0u) << *again;
    rpt.send("OK");
    EXPECT_FALSE(rpt.readLine(300));  // "OK" is no event: nothing to acknowledge
    h.clock().advance(1'001);
    EXPECT_EQ(answerTo(), "");  // synchronised
    // The time commands are logged and shown as sent to A1B2.
    auto shown = h.view().commandLines();
    EXPECT_EQ(std::count_if(shown.begin(), shown.end(), [](const std::string& l) {
                  return l.rfind("A1B2:->", 0) == 0 && l.find("systime") != l.npos;
              }),
              2);
}

TEST(Idle, EveryLineResetsTheIdleCountAndSilenceEndsTheConnectionAfterECnstSeconds) {
    ServerHarness h("[In]\nPort=0\n[Sock]\nECnst=1\n");
    auto rpt = h.repeater();
    for (int i = 0; i < 6; ++i) {
        sleepMs(400);
        rpt->send("");
    }
    EXPECT_EQ(h.registry().size(), 1u);
    const Millis start = steadyClock().now();
    EXPECT_TRUE(rpt->closedByServer(5000));
    EXPECT_GE(steadyClock().now() - start, 800);  // two time-outs of 500 ms
    EXPECT_TRUE(h.waitRegistrySize(0));
}

// Status lines: held back unless changed, repeated after the test time.
struct StatusLines : Protocol {
    StatusLines() : Protocol("[In]\nPort=0\n[Options]\nTestTime=5\n") {}
};

TEST_F(StatusLines, AWrongLengthIsOnlyLoggedTheFirstIsForwardedMarkedEightThenOnlyChanges) {
    // A wrong length (trailing blanks are trimmed before the length test) is acknowledged and
    // goes to the status log only; no Id is learned from it.
    const std::string wrong = EventSpec{.length = 73}.build();
    EXPECT_EQ(answerTo(wrong + "   "), "");
    EXPECT_TRUE(h.logged(1, wrong));
    EXPECT_EQ(h.registry()[0].first, 0u);

    const std::string s1 = EventSpec::status("00A1B2", "0000000000000000").build();
    EXPECT_EQ(answerTo(s1), "");
    ASSERT_TRUE(h.waitRouted(1));
    std::string first = h.routed()[0];
    EXPECT_EQ(first[43], '8');
    EXPECT_EQ(first.substr(0, 16), s1.substr(0, 16));
    EXPECT_EQ(first.substr(35), s1.substr(35).replace(43 - 35, 1, "8"));
    EXPECT_TRUE(std::regex_match(first.substr(16, 19),
                                 std::regex(R"(\d{4}/\d\d/\d\d \d\d:\d\d:\d\d)")));

    EXPECT_EQ(answerTo(s1), "");  // unchanged, within the test time: held back
    rpt.send(EventSpec::status("00A1B2", "0001000000000000").build());  // differs at position 50
    EXPECT_EQ(rpt.readLine(), "");
    ASSERT_TRUE(h.waitRouted(2));
    sleepMs(100);
    ASSERT_EQ(h.routed().size(), 2u);
    EXPECT_EQ(h.routed()[1][43], '0');
    EXPECT_EQ(h.routed()[1].substr(46, 16), "0001000000000000");

    // A plain event after the test time brings the last status line again, marked "8".
    h.clock().advance(5 * 60'000 + 1);
    EXPECT_EQ(answerTo(), "");
    ASSERT_TRUE(h.waitRouted(4));
    EXPECT_EQ(h.routed()[2], EventSpec{}.build());
    EXPECT_EQ(h.routed()[3][43], '8');
    EXPECT_EQ(h.routed()[3].substr(46, 16), "0001000000000000");
    // Every status line went to the event log as received, and only they and the event.
    EXPECT_EQ(h.logLines(0).size(), 4u);
    EXPECT_EQ(h.logLines(1), std::vector<std::string>{wrong});
}

TEST_F(Protocol, TraceShowsBothDirectionsOfTheTracedRepeater) {
    ASSERT_EQ(answerTo(), "");
    h.onMain([](Server& s) { s.setTraceId(0xA1B2); });
    ASSERT_EQ(answerTo(), "");
    rpt.send("");
    EXPECT_FALSE(rpt.readLine(300));
    EXPECT_TRUE(test::eventually([&] { return h.view().traceLines().size() == 3; }));
    EXPECT_EQ(h.view().traceLines(),
              (std::vector<std::string>{"<- " + EventSpec{}.build(), "-> \r\n", "<- \r\n"}));
}

}  // namespace
}  // namespace kormlink
