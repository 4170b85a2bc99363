// The serial output against a receiver played on a pseudo-terminal.

#include <gtest/gtest.h>
#include <termios.h>

#include <regex>

#include "output/channels.h"
#include "platform/serial.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::eventFrom;
using Receiver = test::PtyReceiver;
using test::ServerHarness;

std::string config(const std::string& port, const std::string& outKeys = "") {
    return "[In]\nPort=0\n[Out]\nPort=0\nComOn=1\nCom=5\n" + outKeys + "[Ports]\nCOM5=" + port +
           "\n[Com]\nQSize=10\n";
}

// Only a CR after a line takes it: an answer that ends in LF only does not, and the CR to a
// time sync takes nothing.
TEST(SerialOutput, ReceiverAnsweringCrTakesTheLinesInOrder) {
    Receiver rx;
    ServerHarness h(config(rx.path(), "SyncP=1\n"));
    ASSERT_TRUE(h.feed({eventFrom("601"), eventFrom("602")}));
    EXPECT_EQ(rx.readLine(), eventFrom("601") + "\n");  // LF only, no CR
    EXPECT_EQ(h.attached(), 1);
    rx.answer("ack\r");
    EXPECT_EQ(rx.readLine(), eventFrom("602") + "\n");
    rx.answer("ok\n");
    EXPECT_EQ(rx.readLine(7000), eventFrom("602") + "\n");  // sent again after 5 s
    EXPECT_EQ(h.attached(), 0);
    EXPECT_EQ(h.queued(), 1u);
    rx.answer("\r");
    EXPECT_TRUE(test::eventually([&] { return h.queued() == 0; }));
    EXPECT_EQ(h.attached(), 1);
    // Delivered lines, none counted as expired.
    EXPECT_EQ(h.onMain([](Server& s) { return s.channels()->at(0).Delivered; }), 2u);
    EXPECT_EQ(h.onMain([](Server& s) { return s.channels()->at(0).Dropped.lifetime; }), 0u);

    h.clock().advance(61'000);
    auto sync = rx.readLine();
    ASSERT_TRUE(sync);
    EXPECT_TRUE(std::regex_match(*sync, std::regex("systime\\d{5}(\\.\\d+)?\n"))) << *sync;
    ASSERT_TRUE(h.feed({eventFrom("621")}));
    rx.answer("\r");
    EXPECT_EQ(rx.readLine(), eventFrom("621") + "\n");
    EXPECT_EQ(h.queued(), 1u);
}

TEST(SerialOutput, APortThatCannotBeOpenedIsReported) {
    ServerHarness h("[In]\nPort=0\n[Out]\nPort=0\nComOn=1\n");  // Com absent: port 0
    EXPECT_TRUE(h.shown("[box] Error: Cannot open Com port!"));
    EXPECT_EQ(h.attached(), 0);
}

// A port that goes away (an adapter pulled) is opened again once it is back, without a new
// box; the line it could not take waits in the queue and goes out on the port that came back.
TEST(SerialOutput, APortThatGoesIsOpenedAgainWhenItIsBack) {
    test::TempDir links;
    const std::string link = links.file("ttyOut");
    auto rx = std::make_unique<Receiver>();
    test::pointLink(link, rx->path());
    ServerHarness h(config(link));
    ASSERT_TRUE(h.feed({eventFrom("631")}));
    EXPECT_EQ(rx->readLine(), eventFrom("631") + "\n");
    rx->answer("\r");
    ASSERT_TRUE(test::eventually([&] { return h.queued() == 0; }));

    rx->hangUp();
    ASSERT_TRUE(h.feed({eventFrom("632")}));
    Receiver back;
    test::pointLink(link, back.path());
    std::optional<std::string> sent;
    for (int i = 0; i < 30 && !sent; ++i) {
        h.clock().advance(ReopeningSerialPort::kRetryMs);
        sent = back.readLine(500);
    }
    EXPECT_EQ(sent, eventFrom("632") + "\n");
    back.answer("\r");
    EXPECT_TRUE(test::eventually([&] { return h.queued() == 0 && h.attached() == 1; }));
    for (const std::string& line : h.view().commandLines())
        EXPECT_EQ(line.find("[box]"), std::string::npos) << line;
}

TEST(SerialPort, SettingsAreMappedToTermios) {
    // 14400 is not in termios: the nearest rate; one and a half stop bits: two.
    SerialSettings s{.Baud = 14400, .DataBits = 7, .Parity = 2, .StopBits = 1, .FlowCtrl = 1};
    // Set again over the same termios: what the settings do not ask for must be cleared.
    termios t{};
    const auto flags = [&t](const SerialSettings& s) {
        configureTermios(t, s);
        const tcflag_t size = t.c_cflag & CSIZE;
        std::string f = size == CS5 ? "CS5" : size == CS7 ? "CS7" : size == CS8 ? "CS8" : "CS?";
        const std::pair<tcflag_t, const char*> bits[] = {
            {t.c_cflag & PARENB, " PARENB"}, {t.c_cflag & PARODD, " PARODD"},
            {t.c_cflag & CSTOPB, " CSTOPB"}, {t.c_iflag & IXON, " IXON"},
            {t.c_cflag & CRTSCTS, " CRTSCTS"}};
        for (const auto& [set, name] : bits)
            if (set) f += name;
        return f;
    };
    EXPECT_EQ(flags(s), "CS7 PARENB CSTOPB IXON");
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B19200));
    s.DataBits = 4;
    s.Parity = 1;
    s.FlowCtrl = 2;
    EXPECT_EQ(flags(s), "CS5 PARENB PARODD CSTOPB CRTSCTS");
    s.FlowCtrl = 3;  // unknown: no flow control
    EXPECT_EQ(flags(s), "CS5 PARENB PARODD CSTOPB");
    std::string error;
    EXPECT_FALSE(SerialPort::open("/nonexistent/tty", s, &error));
    // Without a [Ports] entry a Com number names the system's own port.
    EXPECT_EQ(serialDevicePath(IniFile{}, 1), "/dev/ttyS0");
}

}  // namespace
}  // namespace kormlink
