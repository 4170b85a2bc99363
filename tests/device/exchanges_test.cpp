// Command exchanges with a scripted repeater over TCP, byte for byte.

#include <gtest/gtest.h>

#include "config_image/intel_hex.h"
#include "device/command_protocol.h"
#include "device/program_editor.h"
#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;
using test::ServerHarness;

const std::string kRecord1 = ":10100000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF0";
const std::string kRecord2 = ":0212C000FFFF2E";
const std::string kEnd = ":00000001FF";

class Exchanges : public ::testing::Test {
protected:
    explicit Exchanges(const std::string& extra = "")
        : h("[In]\nPort=0\n[upee]\ndelay=1\n[loadee]\ndelay=400\n" + extra), rpt(h.port()) {}
    void SetUp() override {
        ASSERT_TRUE(rpt.readWelcome());
        ASSERT_TRUE(h.identify(rpt));
    }
    // Sends a plain event and returns the server's answer.
    std::optional<std::string> event() {
        rpt.send(EventSpec{}.build());
        return rpt.readLine();
    }
    void queue(const std::string& cmd, std::shared_ptr<ProgramEditor> editor = nullptr) {
        ASSERT_TRUE(h.queueCommand(0xA1B2, cmd, editor));
    }
    // The version query the command starts with, answered line by line.
    void versionQuery(const std::string& answer) {
        EXPECT_EQ(event(), "dicfg");
        rpt.send(answer);
    }
    // A download request, past its version query, up to the load command.
    std::shared_ptr<ScratchEditor> download(const std::string& cmd,
                                            const std::string& answer = "MCP V3.0\r\nOK",
                                            bool withEditor = true) {
        auto editor = withEditor ? std::make_shared<ScratchEditor>() : nullptr;
        queue(cmd, editor);
        versionQuery(answer);
        EXPECT_EQ(rpt.readLine(), "");
        EXPECT_EQ(rpt.readLine(), cmd.substr(4) + ":loadee");
        return editor;
    }
    // The lines the server sends until it has been quiet for a while.
    std::vector<std::string> drain(Millis quietMs = 300) {
        std::vector<std::string> lines;
        while (auto line = rpt.readLine(quietMs)) lines.push_back(*line);
        return lines;
    }
    ServerHarness h;
    ScriptedRepeater rpt;
};

TEST_F(Exchanges, FirmwareUpdateIsRefusedBelowVersionThreeOrForABadFile) {
    queue("1234?upfirm|/no/file.hex");
    versionQuery("MCP V2.5\r\nOK");
    EXPECT_TRUE(h.shown("[box] Error: Wrong version (2.5)!"));
    EXPECT_EQ(event(), "");  // dropped: the next event gets a plain answer
    // The event that the exchange answered was still logged and passed on.
    EXPECT_GE(h.routed().size(), 2u);

    h.dir().write("bad.hex", kRecord1 + "\r\n:0212C000FFFF2F\r\n" + kEnd + "\r\n");
    queue("1234:upfirm|" + h.dir().file("bad.hex"));
    rpt.send(EventSpec{}.build());
    EXPECT_TRUE(h.shown("File " + h.dir().file("bad.hex") +
                        ": line 2 is no valid HEX record (wrong checksum); nothing was sent"));
    EXPECT_EQ(drain(), std::vector<std::string>{});  // the command took the answer's place
    queue("1234:upfirm|/no/such.hex");
    rpt.send(EventSpec{}.build());
    EXPECT_TRUE(h.shown("File /no/such.hex not found"));
}

TEST_F(Exchanges, FirmwareUpdateStreamsTheFileAfterThePrompt) {
    h.dir().write("fw.hex", kRecord1 + "\r\n\r\n" + kRecord2 + "\n" + kEnd + "\r\n");
    queue("1234?upfirm|" + h.dir().file("fw.hex"));
    versionQuery("ActiveChCount CH1(01)\r\nMCP V3.1\r\nOK");
    // Passed: the ":upfirm" form waits for the next line of the repeater.
    EXPECT_FALSE(rpt.readLine(300));
    EXPECT_EQ(event(), "1234:upfirm");
    rpt.sendRaw("Wait for ");  // the prompt may come in pieces
    sleepMs(150);
    rpt.sendRaw("HEX\r\n");
    // Empty lines are neither sent nor counted.
    EXPECT_EQ(drain(), (std::vector<std::string>{kRecord1, kRecord2, kEnd, "C/3"}));
    rpt.send("Done");
    EXPECT_TRUE(h.shown("<-Done"));
    EXPECT_TRUE(h.shown("<-Wait for HEX\r\n"));
    EXPECT_EQ(event(), "");
}

TEST_F(Exchanges, ProgrammingDownloadFillsTheEditorOrQueriesTheChannelsOnly) {
    auto editor = download("prog77", "ActiveChCount CH1(01) CH2(NA) CH3(02)\r\nMCP V3.2\r\nOK");
    for (int i = 0; i < 20; ++i) rpt.send("#4" + kRecord1);
    rpt.send("#4:" + std::string(60'000, '0'));  // no record can be that long: not kept
    rpt.send("");
    EXPECT_EQ(rpt.readLine(), "C/20");
    rpt.send("#4" + kRecord2);
    rpt.send("C/22");
    EXPECT_EQ(rpt.readLine(), "OK");
    EXPECT_TRUE(test::eventually([&] { return editor->image().TransferState == kTransferDone; }));
    EXPECT_EQ(editor->image().CurrentChannel, 1);  // the lowest channel present
    // The pass goes on with the version query's last line, shown as a reply.
    EXPECT_TRUE(h.shown("A1B2:OK"));
    EXPECT_TRUE(h.shown("prog: 1 line(s) too long for a record were dropped"));

    // A channel query only: nothing is downloaded.
    editor = std::make_shared<ScratchEditor>();
    queue("prog-", editor);
    versionQuery("ActiveChCount CH4(12)\r\nMCP V3.0\r\nOK");
    EXPECT_TRUE(test::eventually([&] { return editor->image().TransferState == kTransferDone; }));
    EXPECT_EQ(editor->image().ChannelPresent[3], 1);
    EXPECT_EQ(drain(), std::vector<std::string>{});

    // Holds "prog": a programming request with a scratch editor, loading as "ogram".
    download("reprogram", "MCP V3.0\r\nOK", false);
    rpt.send("C/0");
    EXPECT_EQ(rpt.readLine(), "OK");
    EXPECT_TRUE(h.shown("prog: done without an editor; the downloaded image was not kept"));
}

// Silence fails the request and the connection goes on; a broken connection ends it at once.
TEST_F(Exchanges, SilenceOrABrokenConnectionFailsADownload) {
    auto editor = std::make_shared<ScratchEditor>();
    queue("prog1", editor);
    EXPECT_EQ(event(), "dicfg");
    // No answer within loadee/delay (400 ms): the request fails at once on TCP.
    EXPECT_TRUE(h.shown("[box] Error: Wait timeout exceeding!"));
    EXPECT_EQ(editor->image().TransferState, kTransferFailed);
    EXPECT_EQ(event(), "");

    editor = std::make_shared<ScratchEditor>();
    queue("prog9", editor);
    EXPECT_EQ(event(), "dicfg");
    rpt.close();
    EXPECT_TRUE(h.waitRegistrySize(0, 3000));
    EXPECT_EQ(editor->image().TransferState, kTransferFailed);
}

// The image goes from the editor, or without one from the file named after "|"; either way
// only the channels it has are sent, and only after the prompt.
TEST_F(Exchanges, ConfigurationUploadSendsTheRenderedImage) {
    auto editor = std::make_shared<ScratchEditor>();
    editor->image().fill(0xFF);
    editor->image().ChannelPresent[1] = 1;
    tCfgImage image;
    image.fill(0x00);
    image.ChannelPresent[4] = 1;
    std::vector<std::string> lines;
    BuildImageHexLines(image, lines);
    lines.pop_back();  // files hold no count line
    ASSERT_TRUE(writeTextLines(h.dir().file("cfg.hex"), lines));
    for (bool fromFile : {false, true}) {
        queue("55:upee|" + (fromFile ? h.dir().file("cfg.hex") : "ignored"),
              fromFile ? nullptr : editor);
        EXPECT_EQ(event(), "55:upee");
        rpt.send("Wait for HEX");
        std::vector<std::string> sent = drain();
        ASSERT_EQ(sent.size(), 271u + 11u + 1u) << fromFile;
        EXPECT_EQ(sent[0], fromFile ? lines[0] : ":10000000FFFFFFFFFFFFFFFFFFFFFFFFFFFFFFFF00");
        EXPECT_EQ(sent[sent.size() - 2], kEnd);
        EXPECT_EQ(sent.back(), "C/282");
        rpt.send("Stored");  // the one reply an upload reads at its end
        ASSERT_TRUE(h.shown("<-Stored"));
    }
    EXPECT_EQ(editor->image().TransferState, kTransferImageTaken);

    // No prompt, no upload.
    queue("55:upee", editor);
    EXPECT_EQ(event(), "55:upee");
    rpt.send("Busy, try later");  // 14 bytes or more, but no prompt
    EXPECT_EQ(drain(), std::vector<std::string>{});
    EXPECT_EQ(event(), "");
}

TEST(McpVersion, LeadingNumberAfterFiveCharacters) {
    // Not-a-number and infinity read as 0, which never passes the version check.
    const std::pair<const char*, double> cases[] = {
        {"MCP V3.1", 3.1}, {"MCP  2.5 build 7", 2.5}, {"MCP", 0},      {"MCP: x", 0},
        {"MCP: nan", 0},   {"MCP: inf", 0},           {"MCP: 0x10", 0}};
    for (const auto& [text, version] : cases)
        EXPECT_DOUBLE_EQ(parseMcpVersion(text), version) << text;
}

TEST_F(Exchanges, AStopInTheMiddleOfAnUploadSendsNoMoreLinesAndNoCount) {
    std::string file;
    for (int i = 0; i < 300; ++i) file += kRecord1 + "\r\n";
    h.dir().write("big.hex", file);
    queue("1:upfirm|" + h.dir().file("big.hex"));
    EXPECT_EQ(event(), "1:upfirm");
    rpt.send("Wait for HEX");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(rpt.readLine(), kRecord1);
    h.onMain([](Server& s) { s.StopServer(); });
    std::vector<std::string> rest = drain();
    EXPECT_LT(rest.size(), 200u);  // paced at 1 ms: the stop comes long before the end
    for (const std::string& line : rest) EXPECT_EQ(line.rfind("C/", 0), std::string::npos);
}

TEST_F(Exchanges, ARepeaterThatTalksWithoutEndFailsTheDownload) {
    auto editor = download("prog1");
    std::string flood;
    for (std::size_t i = 0; i <= kExchangeLineLimit; ++i) flood += "#4" + kRecord2 + "\r\n";
    rpt.sendRaw(flood);
    EXPECT_TRUE(h.shown("[box] Error: Wait timeout exceeding!"));
    EXPECT_EQ(editor->image().TransferState, kTransferFailed);
}

}  // namespace
}  // namespace kormlink
