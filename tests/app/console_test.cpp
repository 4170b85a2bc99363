#include "app/console.h"

#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>

#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ServerHarness;

// Captures what the console prints.
struct Capture {
    Capture() : out(std::tmpfile()), err(std::tmpfile()), output(fileno(out), fileno(err)) {}
    ~Capture() {
        output.flush(2000);
        std::fclose(out);
        std::fclose(err);
    }
    std::string text(std::FILE* f) {
        output.flush(2000);
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
        std::rewind(f);
        return s;
    }
    std::FILE* out;
    std::FILE* err;
    ConsoleOutput output;
};

TEST(ConsoleView, TraceAndBoxesAreFormattedForTheTerminal) {
    Capture cap;
    ConsoleView view(cap.output);
    view.traceText(TraceDirection::Received, "\r\n");
    view.traceText(TraceDirection::Sent, "D2/stat\r\n");
    view.ShowInCommandWindow("A1B2:->stat");
    bool closed = false;
    view.showMessageBox("Error", "Wrong version (2.5)!", [&] { closed = true; });
    EXPECT_TRUE(closed);
    EXPECT_EQ(cap.text(cap.out), "<- \n-> D2/stat\nA1B2:->stat\n");
    EXPECT_EQ(cap.text(cap.err), "Error: Wrong version (2.5)!\n");
}

// cmd and trace reach the repeater or say there is none; prog saves what the repeater holds;
// upee sends a file's image back with the repeater's channels; update starts the firmware
// version check.
TEST(Console, CommandsAndProgrammingRequestsRunHeadless) {
    ServerHarness h("[In]\nPort=0\n[Client0]\nId=A1\n[upee]\ndelay=1\n");
    auto rpt = h.repeater();
    ASSERT_TRUE(h.identify(*rpt));
    Capture cap;
    auto console = h.onMain([&](Server& s) { return std::make_shared<Console>(s, cap.output); });
    h.onMain([&](Server&) {
        EXPECT_EQ(console->execute("cmd a1b2 set  x 1 "), Console::Result::Continue);
        console->execute("cmd BEEF hello");
        console->execute("cmd");
        console->execute("frobnicate");
        console->execute("list");
        console->execute("trace A1B2");
        EXPECT_EQ(console->execute("quit\r"), Console::Result::Quit);
    });
    rpt->send(EventSpec{}.build());
    EXPECT_EQ(rpt->readLine(), "set  x 1 ");  // the rest of the line, verbatim
    const std::string out = cap.text(cap.out);
    EXPECT_NE(out.find("BEEF: No connection\n"), std::string::npos);
    EXPECT_NE(out.find("\nA1B2\t127.0.0.1\t1\t" + EventSpec{}.build() + "\t0\n"), std::string::npos)
        << out;
    EXPECT_NE(out.find("Id\tQueue\tConnected\nA1\t1\tno\n"), std::string::npos) << out;
    const std::string err = cap.text(cap.err);
    EXPECT_NE(err.find("usage: cmd"), std::string::npos);
    EXPECT_NE(err.find("unknown command: frobnicate"), std::string::npos);
    EXPECT_EQ(h.onMain([](Server& s) { return s.traceId(); }), 0xA1B2u);

    auto tickUntilIdle = [&] {
        return test::eventually([&] { return !h.onMain([&](Server&) { return console->tick(); }); },
                                5000);
    };
    const std::string file = h.dir().file("rpt->hex");
    h.onMain([&](Server&) { console->execute("prog A1B2 77 " + file); });
    rpt->send(EventSpec{}.build());
    EXPECT_EQ(rpt->readLine(), "dicfg");
    rpt->send("ActiveChCount CH1(01) CH2(NA)\r\nMCP V3.1\r\nOK");
    EXPECT_EQ(rpt->readLine(), "");
    EXPECT_EQ(rpt->readLine(), "77:loadee");
    rpt->send("#4:02100000010256\r\nC/1");  // two bytes into the general block
    EXPECT_EQ(rpt->readLine(), "OK");
    ASSERT_TRUE(tickUntilIdle());
    const std::string saved = h.dir().read("rpt->hex");
    EXPECT_NE(saved.find(":10100000010"), std::string::npos) << saved.substr(0, 200);
    EXPECT_NE(cap.text(cap.out).find("A1B2: configuration saved to " + file), std::string::npos);

    h.onMain([&](Server&) { console->execute("upee A1B2 55 " + file); });
    rpt->send(EventSpec{}.build());
    EXPECT_EQ(rpt->readLine(), "dicfg");
    rpt->send("ActiveChCount CH1(01)\r\nMCP V3.1\r\nOK");
    // The request moves on when the console sees the answer: the upload command follows at the
    // repeater's next line.
    ASSERT_TRUE(test::eventually([&] {
        h.onMain([&](Server&) { console->tick(); });
        return h.onMain([](Server& s) { return !s.hostList()->at(0)->pendingCmd().empty(); });
    }));
    rpt->send(EventSpec{}.build());
    EXPECT_EQ(rpt->readLine(), "55:upee");
    rpt->send("Wait for HEX");
    std::vector<std::string> sent;
    while (auto line = rpt->readLine(300)) sent.push_back(*line);
    EXPECT_EQ(sent.size(), 271u + 11u + 1u);  // channel 1 only
    rpt->send("Stored");  // the one reply the upload reads at its end
    EXPECT_TRUE(tickUntilIdle());

    h.onMain([&](Server&) { console->execute("update A1B2 9999 /tmp/fw.hex"); });
    rpt->send(EventSpec{}.build());
    EXPECT_EQ(rpt->readLine(), "dicfg");
    h.onMain([&](Server&) { console->execute("upee A1B2 55 /no/such/typo.hex"); });
    EXPECT_NE(cap.text(cap.out).find("File /no/such/typo.hex not found"), std::string::npos);
    EXPECT_FALSE(h.onMain([&](Server&) { return console->tick(); }));  // nothing was started
    h.onMain([&](Server&) { console->execute("prog 77 1"); });
    EXPECT_NE(cap.text(cap.err).find("usage: prog ID CODE FILE"), std::string::npos);
}

// Writing never waits for the reader: a full pipe costs lines, counted, and the count is
// reported once the reader takes text again. Order between the two streams is kept.
TEST(ConsoleOutput, AFullPipeCostsCountedLinesNeverAWait) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    test::TempDir dir;
    std::FILE* err = std::fopen(dir.file("err").c_str(), "w+");
    std::uint64_t dropped = 0;
    {
        ConsoleOutput output(out[1], fileno(err), 64 * 1024);
        const std::string line(99, 'x');
        const Millis start = steadyClock().now();
        for (int i = 0; i < 10'000; ++i) output.write(ConsoleStream::Out, line + "\n");
        EXPECT_LT(steadyClock().now() - start, 2000);
        EXPECT_GT(output.droppedLines(), 8000u);  // a 64 KiB pipe and a 64 KiB queue hold ~1300

        std::string taken;
        char buf[65536];
        test::eventually([&] {
            const ssize_t n = ::read(out[0], buf, sizeof buf);
            if (n > 0) taken.append(buf, static_cast<std::size_t>(n));
            return output.flush(10);
        });
        output.write(ConsoleStream::Out, "last\n");
        output.write(ConsoleStream::Err, "box\n");
        EXPECT_TRUE(output.flush(2000));
        EXPECT_EQ(taken.substr(0, 100), line + "\n");
        dropped = output.droppedLines();
    }
    // Every drop is told (in one report or, as the writer caught up in between, several)
    // before the line that followed them.
    std::rewind(err);
    char text[256] = {};
    unsigned long long told = 0;
    while (std::fgets(text, sizeof text, err) && std::string(text) != "box\n") {
        unsigned long long n = 0;
        ASSERT_EQ(std::sscanf(text, "Kormlink: %llu console lines dropped", &n), 1) << text;
        told += n;
    }
    EXPECT_STREQ(text, "box\n");
    EXPECT_EQ(told, dropped);
    std::fclose(err);
    for (int fd : out) ::close(fd);
}

}  // namespace
}  // namespace kormlink
