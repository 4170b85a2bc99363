// The trace window's line formats, cut, hold and file copy, and the Id rule of the request
// dialogs, offscreen with scripted file dialogs.

#include "ui/trace_window.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QToolButton>

#include "support/harness.h"
#include "ui/request_dialogs.h"
#include "ui/scripted_dialogs.h"
#include "ui/ui_app.h"

namespace kormlink {
namespace {

struct Trace : ::testing::Test {
    test::UiApp ui;
    test::ScriptedDialogs dialogs;
    int closedCount = 0;
    TFdbg* w = new TFdbg([this] { ++closedCount; });
    ~Trace() override { delete w; }

    QToolButton* button(const char* n) { return w->findChild<QToolButton*>(n); }
};

TEST_F(Trace, LineFormatsHoldAndCutAboveTheLimit) {
    w->AddReceived("AB\r\n");
    w->AddSent("cmd\n");
    button("bHex")->click();
    w->AddReceived("AB\r\n");
    w->AddSent(std::string("\xff\x00", 2));
    EXPECT_EQ(w->lines(), QStringList({"<- AB", "-> cmd", "<- 41 42 0D 0A", "-> FF 00"}));
    button("BHold")->click();
    w->AddReceived("x");
    w->AddSent("x");
    EXPECT_EQ(w->lines().size(), 4);

    w->close();  // destroys the window, which reports it once
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    w = nullptr;
    EXPECT_EQ(closedCount, 1);

    // Only received hex lines are cut. Lines before, hex shown, the line received, lines after.
    const std::tuple<int, bool, bool, int> cases[] = {{1001, true, true, TFdbg::kLinesKept + 1},
                                                      {1000, true, true, 1001},
                                                      {1001, true, false, 1002},
                                                      {1001, false, true, 1002},
                                                      {1500, true, true, 500}};
    for (const auto& [before, hex, received, after] : cases) {
        delete w;
        w = new TFdbg({});
        for (int i = 0; i < before; ++i) w->AddSent("x");
        if (hex) button("bHex")->click();
        received ? w->AddReceived("A") : w->AddSent("A");
        const QStringList lines = w->lines();
        EXPECT_EQ(lines.size(), after) << before << hex << received;
        EXPECT_EQ(lines.last(), hex ? (received ? "<- 41" : "-> 41") : "<- A");
    }
}

TEST_F(Trace, FileCopyChosenOnceAndCancelCopiesNothing) {
    test::TempDir dir;
    button("bFile")->click();  // cancelled: nothing chosen, both buttons up
    EXPECT_FALSE(button("bFile")->isChecked());
    EXPECT_FALSE(button("BHold")->isChecked());
    w->AddReceived("lost\r\n");

    dialogs.files.push_back(QString::fromStdString(dir.file("trace")));
    button("bFile")->click();
    EXPECT_EQ(w->traceFile().toStdString(), dir.file("trace") + ".txt");
    EXPECT_FALSE(button("BHold")->isChecked());  // its state before the dialog
    w->AddReceived("one\r\n");
    button("bFile")->click();  // off: not copied
    w->AddSent("two");
    button("bFile")->click();  // on again without asking
    button("bHex")->click();
    w->AddSent("3");
    QFile f(w->traceFile());
    ASSERT_TRUE(f.open(QIODevice::ReadOnly));
    EXPECT_EQ(f.readAll(), "<- one\n-> 33\n");
    EXPECT_TRUE(dialogs.files.empty());

    // A folder in the file's place: the line is shown but not copied, and the tool bar says why.
    ASSERT_TRUE(f.remove() && QDir().mkdir(w->traceFile()));
    w->AddReceived("x");
    EXPECT_TRUE(w->findChild<QLabel*>("FileStatus")->text().startsWith("Not written"));
    EXPECT_EQ(w->lines().back(), "<- 78");
}

TEST(ReadHexId, Table) {
    const std::tuple<const char*, bool, std::optional<std::uint32_t>> cases[] = {
        {"1A2B", false, 0x1A2B},  {"1a2b", false, 0x1A2B}, {" 7777 ", false, 0x7777},
        {"0", false, {}},         {"0", true, 0},          {"xyz", false, {}},
        {"", false, {}},          {"  ", true, {}},        {"FFFFFFFF", false, 0xFFFFFFFFu},
        {"1FFFFFFFF", false, {}}, {"0x1A", false, {}},     {"-1", false, {}},
        {"12 34", false, {}},     {"000000001", false, 1},
    };
    for (const auto& [text, allowZero, id] : cases)
        EXPECT_EQ(readHexId(QString::fromLatin1(text), allowZero), id) << text;
}

}  // namespace
}  // namespace kormlink
