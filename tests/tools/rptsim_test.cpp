// The repeater simulator against a real server in this process, and against a scripted server
// for the cases a real one does not produce on demand (drops, silence, wrong counts).

#include <gtest/gtest.h>

#include <array>
#include <set>
#include <sstream>
#include <tuple>

#include "config_image/intel_hex.h"
#include "device/program_editor.h"
#include "repeater_sim.h"
#include "sim_line.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using sim::RepeaterSim;
using sim::RepeaterSimOptions;
using test::ServerHarness;

const char* kIni =
    "[In]\nPort=0\n[Out]\nPort=0\n[Client0]\nId=A\n[ComIn]\nCom=0\n[Sock]\nACKDelay=0\n"
    "[upee]\ndelay=1\n[loadee]\ndelay=2000\n";

RepeaterSimOptions optionsFor(std::uint16_t port) {
    RepeaterSimOptions o;
    o.port = port;
    o.answerTimeoutMs = 2000;
    return o;
}

std::uint32_t seqOf(const std::string& line) {
    auto e = sim::parseEvent(line);
    return e ? e->seq : 0;
}

TEST(RptSim, EveryEventIsAcknowledgedOnceAndRoutedWithItsNumber) {
    for (const auto& [batch, batches] : {std::pair{0, 0u}, std::pair{3, 4u}}) {
        SCOPED_TRACE(batch);
        ServerHarness h(kIni);
        RepeaterSimOptions o = optionsFor(h.port());
        o.repeaters = 2;
        o.count = 6;
        o.batch = batch;
        o.ackedFile = h.dir().file("acked.txt");
        RepeaterSim rpt(o);
        ASSERT_TRUE(rpt.start(nullptr));
        ASSERT_TRUE(test::eventually([&] { return rpt.done(); }, 5000));
        rpt.stop();

        const auto c = rpt.counters();
        EXPECT_EQ(std::tuple(c.sent, c.acked, c.resent, c.batches),
                  std::tuple(12u, 12u, 0u, batches));

        // What the server routed and what the simulator recorded as acknowledged: the same
        // numbers 1 to 6 of each repeater.
        std::set<std::string> routed, recorded, expected;
        for (const char* id : {"100001", "100002"})
            for (int seq = 1; seq <= 6; ++seq) expected.insert(id + (" " + std::to_string(seq)));
        ASSERT_TRUE(h.waitRouted(12));
        for (const std::string& line : h.routed()) {
            auto e = sim::parseEvent(line);
            ASSERT_TRUE(e) << line;
            EXPECT_EQ(line.size(), batch > 0 ? 74u : 72u);
            routed.insert(sim::detail::hex(e->repeaterId, 6) + " " + std::to_string(e->seq));
        }
        std::istringstream file(h.dir().read("acked.txt"));
        for (std::string line; std::getline(file, line);) recorded.insert(line);
        EXPECT_EQ(routed, expected);
        EXPECT_EQ(recorded, expected);
    }
}

// The exchanges the operator starts, while the repeater keeps sending events: none of the
// events may fall into an exchange (the server would ignore it and it would be resent). The
// firmware upload is answered below, against a server that can also get the count wrong.
// Beside it idle repeaters, which are connections held and nothing else: greeted, the time
// command answered, no event or status line ever.
TEST(RptSim, AnswersProgrammingAndPlainCommandsBesideIdleRepeaters) {
    ServerHarness h(kIni);
    RepeaterSimOptions o = optionsFor(h.port()), io = optionsFor(h.port());
    o.rate = 20;
    io.repeaters = 3;
    io.firstId = 0x200001;
    io.idle = true;
    io.statusEvery = 0.05;
    RepeaterSim rpt(o), idle(io);
    EXPECT_EQ(idle.allConnectedAfterMs(), -1);
    ASSERT_TRUE(rpt.start(nullptr) && idle.start(nullptr));
    ASSERT_TRUE(test::eventually([&] { return idle.allConnectedAfterMs() >= 0; }));
    EXPECT_EQ(idle.connected(), 3);
    auto editor = std::make_shared<ScratchEditor>();
    ASSERT_TRUE(h.queueCommand(0x100001, "prog77", editor));
    ASSERT_TRUE(
        test::eventually([&] { return editor->image().TransferState == kTransferDone; }, 5000));
    // The last byte of the first and of the last range: every block of the image came.
    EXPECT_EQ(editor->image().Mask[255], (7 * 255) & 0xFF);
    EXPECT_EQ(editor->image().Network[159], 159);
    const auto& present = editor->image().ChannelPresent;
    EXPECT_EQ(std::vector<int>(present.begin(), present.end()),
              (std::vector<int>{1, 0, 1, 0, 1, 0, 0, 0}));
    ASSERT_TRUE(test::eventually([&] { return rpt.counters().downloads == 1; }));

    ASSERT_TRUE(h.queueCommand(0x100001, "RESET 1"));
    ASSERT_TRUE(test::eventually([&] { return rpt.counters().commands == 1; }));

    const std::uint64_t before = rpt.counters().acked;
    ASSERT_TRUE(test::eventually([&] { return rpt.counters().acked >= before + 3; }));
    rpt.stop();
    idle.stop();
    const auto c = rpt.counters(), i = idle.counters();
    EXPECT_EQ(std::tuple(c.dicfg, c.resent, c.acked, i.systime, i.sent + i.status),
              std::tuple(1u, 0u, c.sent, 3u, 0u));
    for (const std::string& line : h.routed())
        EXPECT_EQ(line.substr(line.size() - 6), "100001") << line;
}

// A server played by the test: greets, reads the "OK" to its time command, then follows the
// test's script.
class ScriptedServer {
  public:
    ScriptedServer() : m_listener(*TcpListener::open(0, nullptr)) {}
    std::uint16_t port() const { return m_listener.port(); }
    bool accept() {
        UniqueFd fd = m_listener.acceptFor(3000);
        if (!fd) return false;
        m_conn.emplace(std::move(fd));
        send("QX7310kv V1.02");
        send("systime26,12,05,06,02,07");
        return line() == "OK";
    }
    std::string line(Millis timeoutMs = 3000) {
        std::string text;
        m_last = m_conn->recvLine(text, timeoutMs);
        return m_last == RecvStatus::Line ? text : "<none>";
    }
    void send(const std::string& text) { m_conn->sendAll(text + "\r\n"); }
    void drop() { m_conn.reset(); }
    RecvStatus last() const { return m_last; }

  private:
    TcpListener m_listener;
    std::optional<TcpSocket> m_conn;
    RecvStatus m_last = RecvStatus::Timeout;
};

enum class Trouble { ServerDrops, NoAnswer, Reset, BatchCountWrong };

class RptSimResend : public ::testing::TestWithParam<Trouble> {};

TEST_P(RptSimResend, UnacknowledgedWorkIsSentAgainWithTheSameNumbers) {
    const Trouble trouble = GetParam();
    ScriptedServer server;
    RepeaterSimOptions o = optionsFor(server.port());
    o.answerTimeoutMs = 400;
    o.batch = trouble == Trouble::BatchCountWrong ? 2 : 0;
    RepeaterSim rpt(o);
    ASSERT_TRUE(rpt.start(nullptr));
    ASSERT_TRUE(server.accept());
    ASSERT_EQ(seqOf(server.line()), 1u);
    switch (trouble) {
        case Trouble::ServerDrops:
            server.drop();
            ASSERT_TRUE(server.accept());
            break;
        case Trouble::NoAnswer:
            // Silent beyond the answer time-out: the repeater gives the connection up, so a
            // late answer cannot be taken for its next line's.
            EXPECT_EQ(server.line(), "<none>");
            EXPECT_EQ(server.last(), RecvStatus::Closed);
            ASSERT_TRUE(server.accept());
            break;
        case Trouble::Reset:
            rpt.resetOneConnection();
            server.line();
            EXPECT_EQ(server.last(), RecvStatus::Error);  // abortive: a reset, not a close
            ASSERT_TRUE(server.accept());
            break;
        case Trouble::BatchCountWrong:
            ASSERT_EQ(seqOf(server.line()), 2u);
            ASSERT_EQ(server.line(), "");
            server.send("D1/");
            break;
    }
    // The same event or batch again, answered this time; then the next one.
    ASSERT_EQ(seqOf(server.line()), 1u);
    if (o.batch) {
        ASSERT_EQ(seqOf(server.line()), 2u);
        ASSERT_EQ(server.line(), "");
        server.send("D2/");
        EXPECT_EQ(seqOf(server.line()), 3u);
    } else {
        server.send("");
        EXPECT_EQ(seqOf(server.line()), 2u);
    }
    rpt.stop();
    const auto c = rpt.counters();
    const unsigned again = o.batch ? 2u : 1u, wrongCount = trouble == Trouble::BatchCountWrong;
    EXPECT_EQ(std::tuple(c.resent, c.acked, c.reconnects, c.batchMismatch),
              std::tuple(again, again, 1u - wrongCount, wrongCount));
}

INSTANTIATE_TEST_SUITE_P(Troubles, RptSimResend,
                         ::testing::Values(Trouble::ServerDrops, Trouble::NoAnswer, Trouble::Reset,
                                           Trouble::BatchCountWrong));

TEST(RptSim, UploadReplyFollowsTheLineCount) {
    ScriptedServer server;
    RepeaterSimOptions o = optionsFor(server.port());
    o.answerTimeoutMs = 300;  // the last event stays unanswered; stop() waits this long
    RepeaterSim rpt(o);
    ASSERT_TRUE(rpt.start(nullptr));
    ASSERT_TRUE(server.accept());
    // The command, the count line after the two records, the reply.
    for (auto [command, count, reply] :
         {std::array{"1234:upfirm", "C/2", "OK"}, std::array{"55:upee", "C/3", "ERROR"}}) {
        ASSERT_NE(seqOf(server.line()), 0u);
        server.send(command);  // in the event's answer's place
        ASSERT_EQ(server.line(), "Wait for HEX");
        server.send(":0212C000FFFF2E");
        server.send(":00000001FF");
        server.send(count);
        EXPECT_EQ(server.line(), reply) << command;
    }
    rpt.stop();
    EXPECT_EQ(std::tuple(rpt.counters().uploadsOk, rpt.counters().uploadsBad), std::tuple(1u, 1u));
}

TEST(RptSim, ImageFilesMustHoldValidRecords) {
    test::TempDir dir;
    dir.write("good.hex", ":0212C000FFFF2E\r\nC/1\r\n:00000001FF\r\n");
    dir.write("bad.hex", ":0212C000FFFF2F\r\n");
    dir.write("none.hex", "C/0\r\n");
    std::string error;
    auto good = sim::readImageFile(dir.file("good.hex"), &error);
    ASSERT_TRUE(good) << error;
    EXPECT_EQ(*good, (std::vector<std::string>{":0212C000FFFF2E", ":00000001FF"}));
    for (const char* name : {"bad.hex", "none.hex", "missing.hex"})
        EXPECT_FALSE(sim::readImageFile(dir.file(name), &error)) << name;
    EXPECT_EQ(findBadHexLine(sim::builtInImage()), 0u);
}

}  // namespace
}  // namespace kormlink
