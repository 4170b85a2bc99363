// Hostile bytes from a repeater: no control byte reaches a log, a queue or the command window
// raw, an overlong line leaves only its excerpt, the logs hold to their budget, and a
// connection that never identifies itself is closed.

#include <gtest/gtest.h>

#include "core/event_line.h"
#include "output/channels.h"
#include "repeater_link/log_budget.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ServerHarness;

bool clean(const std::vector<std::string>& lines) {
    for (const std::string& l : lines) if (hasControlByte(l)) return false;
    return true;
}

TEST(HostileLines, ControlBytesAndOverlongLinesAreRefusedAndLoggedEscaped) {
    ServerHarness h("[In]\nPort=0\nSyncP=0\n[Out]\nPort=0\n[Client0]\nId=A1\n");
    auto rpt = h.repeater();
    const std::string event = EventSpec{}.build();
    const auto with = [&](std::size_t pos, const std::string& bytes) {
        return event.substr(0, pos) + bytes + event.substr(pos + 1);
    };
    // What is sent, and what the status log holds of it.
    const std::pair<std::string, std::string> cases[] = {
        {with(30, "\x1B"), with(30, "\\x1B")},
        {with(20, "\r"), with(20, "\\x0D")},  // a lone CR belongs to the line
        {with(50, std::string(1, '\0')), with(50, "\\x00")},
        {with(60, "\x7F"), with(60, "\\x7F")},
        {"ERR\x1B[2J", "ERR\\x1B[2J"},
        {"COM" + std::string(200'000, 'A'), "COM" + std::string(77, 'A') + "... (200003 bytes)"},
    };
    for (const auto& [sent, logged] : cases) {
        rpt->send(sent);
        EXPECT_EQ(rpt->readLine(300), std::nullopt) << logged;  // not acknowledged
        EXPECT_TRUE(h.logged(1, logged)) << logged;
        rpt->send(event);  // the connection goes on with the next line
        EXPECT_EQ(rpt->readLine(), "") << logged;
    }
    EXPECT_TRUE(h.waitRouted(1));
    EXPECT_EQ(h.logLines(1).size(), std::size(cases));  // one record each, the excerpt alone
    EXPECT_EQ(h.logLines(0), std::vector<std::string>(std::size(cases), event));
    EXPECT_TRUE(clean(h.view().commandLines()));
    EXPECT_TRUE(h.shown("A1B2:ERR\\x1B[2J"));
    EXPECT_TRUE(h.onMain([](Server& s) { return clean(test::queueTexts(s.channels()->at(0))); }));
    const StatusSnapshot s = h.onMain([](Server& s) { return s.snapshot(); });
    EXPECT_EQ(std::pair(s.overlongLines, s.controlByteLines), std::pair(1ul, 5ul));
}

// A connection that never identifies itself is closed after IdentifyTime, however much it
// talks; one that did is served on, with no time command after the first when SyncP is 0.
TEST(HostileLines, NoEventsAreLoggedSixtyAMinuteAndAConnectionThatNeverIdentifiesIsClosed) {
    ServerHarness h("[In]\nPort=0\nSyncP=0\nIdentifyTime=100\n");
    auto rpt = h.repeater(), chatty = h.repeater();
    for (int i = 0; i < 70; ++i) {
        rpt->send("COM short " + std::to_string(i));  // a wrong length: answered, not routed
        ASSERT_EQ(rpt->readLine(), "");
    }
    ASSERT_TRUE(h.logged(1, "COM short 59"));
    h.clock().advance(LogBudget::kMinuteMs);
    rpt->send("COM short 70");
    EXPECT_EQ(rpt->readLine(), "");
    EXPECT_TRUE(h.logged(1, "0 127.0.0.1: 10 lines not logged (more than 60 a minute)"));
    EXPECT_TRUE(h.logged(1, "COM short 70"));
    EXPECT_EQ(h.logLines(1).size(), 62u);
    EXPECT_TRUE(h.identify(*rpt));  // valid events are logged whatever the budget

    h.clock().advance(24LL * 3600 * 1000);
    chatty->send("hello");  // answered, but identifies nobody
    EXPECT_TRUE(chatty->closedByServer(2000));
    EXPECT_EQ(h.onMain([](Server& s) { return s.snapshot().unidentifiedClosed; }), 1u);
    rpt->send(EventSpec{}.build());
    EXPECT_EQ(rpt->readLine(), "");
}

}  // namespace
}  // namespace kormlink
