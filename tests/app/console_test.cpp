#include "app/console.h"

#include <gtest/gtest.h>

#include <cstdio>

#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;
using test::ServerHarness;

// Captures what the console prints.
struct Capture {
    Capture() : out(std::tmpfile()), err(std::tmpfile()) {}
    ~Capture() {
        std::fclose(out);
        std::fclose(err);
    }
    static std::string text(std::FILE* f) {
        std::fflush(f);
        std::rewind(f);
        std::string s;
        for (int c; (c = std::fgetc(f)) != EOF;) s.push_back(static_cast<char>(c));
        std::rewind(f);
        return s;
    }
    std::FILE* out;
    std::FILE* err;
};

TEST(Console, CommandsReachTheRepeaterOrSayThereIsNone) {
    ServerHarness h("[In]\nPort=0\n[Client0]\nId=A1\n");
    ScriptedRepeater rpt(h.port());
    ASSERT_TRUE(rpt.readWelcome());
    rpt.send(EventSpec{}.build());
    ASSERT_EQ(rpt.readLine(), "");
    ASSERT_TRUE(test::eventually([&] { return h.registry().at(0).first == 0xA1B2; }));
    Capture cap;
    h.onMain([&](Server& s) {
        Console console(s, cap.out, cap.err);
        EXPECT_EQ(console.execute("cmd a1b2 set  x 1 "), Console::Result::Continue);
        console.execute("cmd BEEF hello");
        console.execute("cmd");
        console.execute("frobnicate");
        console.execute("list");
        console.execute("trace A1B2");
        EXPECT_EQ(console.execute("quit\r"), Console::Result::Quit);
    });
    rpt.send(EventSpec{}.build());
    EXPECT_EQ(rpt.readLine(), "set  x 1 ");  // the rest of the line, verbatim
    const std::string out = Capture::text(cap.out);
    EXPECT_NE(out.find("BEEF: No connection\n"), std::string::npos);
    EXPECT_NE(out.find("HpId\tIp\tMCnt\tLastMessage\tNr\nA1B2\t127.0.0.1\t1\t" +
                       EventSpec{}.build() + "\t0\n"),
              std::string::npos)
        << out;
    EXPECT_NE(out.find("Id\tQueue\tConnected\nA1\t1\tno\n"), std::string::npos) << out;
    const std::string err = Capture::text(cap.err);
    EXPECT_NE(err.find("usage: cmd"), std::string::npos);
    EXPECT_NE(err.find("unknown command: frobnicate"), std::string::npos);
    EXPECT_EQ(h.onMain([](Server& s) { return s.traceId(); }), 0xA1B2u);
}

TEST(ConsoleView, TraceAndBoxesAreFormattedForTheTerminal) {
    Capture cap;
    ConsoleView view(cap.out, cap.err);
    view.traceText(TraceDirection::Received, "\r\n");
    view.traceText(TraceDirection::Sent, "D2/stat\r\n");
    view.ShowInCommandWindow("A1B2:->stat");
    bool closed = false;
    view.showMessageBox("Error", "Wrong version (2.5)!", [&] { closed = true; });
    EXPECT_TRUE(closed);
    EXPECT_EQ(Capture::text(cap.out), "<- \n-> D2/stat\nA1B2:->stat\n");
    EXPECT_EQ(Capture::text(cap.err), "Error: Wrong version (2.5)!\n");
}

}  // namespace
}  // namespace kormlink
