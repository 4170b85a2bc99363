// The serial repeater link against a repeater played on a pseudo-terminal.

#include <gtest/gtest.h>

#include "device/program_editor.h"
#include "platform/serial.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::PtyReceiver;
using test::ServerHarness;

std::string config(const std::string& device) {
    return "[In]\nPort=0\n[Out]\nPort=0\n[ComIn]\nCom=4\nSyncP=0\n[Ports]\nCOM4=" + device +
           "\n[loadee]\ndelay=300\n[Client0]\nId=A1\n";
}

class SerialLink : public ::testing::Test {
protected:
    SerialLink() : h(config(rpt.path())) {}
    void SetUp() override {
        EXPECT_EQ(rpt.readLine(), "QX7310kv V1.02\r\n");
        auto systime = rpt.readLine();
        ASSERT_TRUE(systime);
        EXPECT_EQ(systime->rfind("systime", 0), 0u);
    }
    void queue(const std::string& cmd, std::shared_ptr<ProgramEditor> editor = nullptr) {
        ASSERT_TRUE(h.queueCommand(0x7777, cmd, editor));
    }
    PtyReceiver rpt;
    ServerHarness h;
};

TEST_F(SerialLink, JoinsTheRegistryRelaysEventsWithoutDuplicateTestAndEndsAtAStop) {
    EXPECT_EQ(h.registry(), (std::vector<std::pair<std::uint32_t, std::int32_t>>{{0x7777, 2}}));
    EXPECT_EQ(h.onMain([](Server& s) { return s.hostList()->at(0)->Ip; }), "Com");

    // Each answer leaves only after its event was logged and queued.
    const std::string line = EventSpec{}.build();
    rpt.answer(line + "\r\n");
    EXPECT_EQ(rpt.readLine(), "\r\n");
    EXPECT_EQ(h.queued(), 1u);
    rpt.answer(line + "\r");  // CR alone ends a line too
    EXPECT_EQ(rpt.readLine(), "\r\n");
    EXPECT_EQ(h.queued(), 2u);  // the same event twice
    EXPECT_EQ(h.logLines(0).size(), 2u);
    EXPECT_TRUE(h.logLines(2).empty());  // no open records for the serial link

    // Any "COM" line is an event: no length test.
    rpt.answer("COM1 short\r\n");
    EXPECT_EQ(rpt.readLine(), "\r\n");
    EXPECT_TRUE(test::eventually([&] { return h.logLines(0).size() == 3; }));
    // Other lines go to the status log and the command window.
    rpt.answer("READY\r\n");
    EXPECT_TRUE(h.shown("7777:READY"));
    EXPECT_EQ(h.logLines(1), std::vector<std::string>{"READY"});
    // A "COM" line with a control byte is no event: not answered, logged escaped.
    rpt.answer("COM1 \x1B[2J\r\n");
    EXPECT_TRUE(h.logged(1, "COM1 \\x1B[2J"));
    EXPECT_FALSE(rpt.readLine(300));

    h.onMain([](Server& s) { s.StopServer(); });
    EXPECT_TRUE(h.registry().empty());
    h.onMain([](Server& s) { s.LoadConfiguration(); });
    EXPECT_EQ(rpt.readLine(), "QX7310kv V1.02\r\n");
    EXPECT_EQ(h.registry().size(), 1u);
}

TEST_F(SerialLink, LinesSplitOrJoinedAcrossReadsAndAStreamWithoutCarriageReturnDropped) {
    const std::string line = EventSpec{}.build();
    rpt.answer(std::string(600, 'x'));
    sleepMs(1200);
    rpt.answer("\r\n" + line + "\r");  // the x's get no answer, the event does
    sleepMs(100);
    rpt.answer("\n" + line + "\r\n" + line);  // the LF of the first, a second whole line ...
    EXPECT_EQ(rpt.readLine(), "\r\n");
    EXPECT_EQ(rpt.readLine(), "\r\n");
    EXPECT_FALSE(rpt.readLine(300));  // ... and a third without its end yet
    rpt.answer("\r\n");
    EXPECT_EQ(rpt.readLine(), "\r\n");
    EXPECT_TRUE(test::eventually([&] { return h.logLines(0).size() == 3; }));
    EXPECT_TRUE(h.logLines(1).empty());
}

TEST_F(SerialLink, DownloadEndsAtErrorAndKeepsTheRecords) {
    auto editor = std::make_shared<ScratchEditor>();
    queue("prog5", editor);
    EXPECT_EQ(rpt.readLine(), "dicfg\r\n");  // sent while the repeater is silent
    EXPECT_TRUE(h.shown("7777:->prog5"));
    rpt.answer("ActiveChCount CH2(01)\r\nMCP V3.3\r\nOK\r\n");
    EXPECT_EQ(rpt.readLine(), "\r\n");
    EXPECT_EQ(rpt.readLine(), "5:loadee\r\n");
    rpt.answer("#4:0210000001029B\r\nERROR 7\r\n");
    EXPECT_TRUE(test::eventually([&] { return editor->image().TransferState == kTransferDone; }));
    EXPECT_EQ(editor->image().General[0], 0x01);
    EXPECT_EQ(editor->image().General[1], 0x02);
    EXPECT_EQ(editor->image().ChannelPresent[1], 1);
    EXPECT_FALSE(rpt.readLine(300));  // no "OK" after ERROR
}

TEST_F(SerialLink, FirmwareUploadReadsThePromptPastTheLineBuffer) {
    h.dir().write("fw.hex", ":0212C000FFFF2E\r\n:00000001FF\r\n");
    queue("9:upfirm|" + h.dir().file("fw.hex"));
    EXPECT_EQ(rpt.readLine(), "9:upfirm\r\n");  // no acknowledgement in front
    rpt.answer("Wait for HEX\r\n");
    EXPECT_EQ(rpt.readLine(), ":0212C000FFFF2E\r\n");
    EXPECT_EQ(rpt.readLine(), ":00000001FF\r\n");
    EXPECT_EQ(rpt.readLine(), "C/2\r\n");
    rpt.answer("OK\r\n");
    EXPECT_TRUE(h.shown("<-OK"));
    EXPECT_TRUE(h.shown("<-Wait for HEX\r\n"));
}

// An adapter pulled and plugged in again: the link opens the port anew and relays again.
TEST(SerialLinkPort, OpensThePortAgainWhenItIsBack) {
    test::TempDir links;
    const std::string link = links.file("ttyIn");
    auto rpt = std::make_unique<PtyReceiver>();
    test::pointLink(link, rpt->path());
    ServerHarness h(config(link));
    EXPECT_EQ(rpt->readLine(), "QX7310kv V1.02\r\n");

    rpt->hangUp();
    PtyReceiver back;
    test::pointLink(link, back.path());
    const std::string line = EventSpec{}.build();
    bool answered = false;
    for (int i = 0; i < 30 && !answered; ++i) {
        h.clock().advance(ReopeningSerialPort::kRetryMs);
        back.answer(line + "\r");
        // Until the link has the port again, the pseudo-terminal echoes what is written.
        while (auto got = back.readLine(500))
            if (*got == "\r\n") answered = true;
    }
    EXPECT_TRUE(answered);
    EXPECT_TRUE(h.waitRegistrySize(1));
}

}  // namespace
}  // namespace kormlink
