// The main window over a running server, drawn offscreen.

#include "core/main_window.h"

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QLabel>
#include <QTreeView>

#include "support/harness.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;

// A window over a server in a temporary data folder; the test thread is the main thread.
struct Desktop {
    explicit Desktop(const std::string& ini) : app(argc, argv) {
        dir.write("Kormlink.ini", ini + "[ComIn]\nCom=0\n");
        ServerOptions options;
        options.dataDir = dir.path();
        server.emplace(mainThread, window, options);
        window.attach(*server);
        server->LoadConfiguration();
        window.show();
    }
    ~Desktop() { server->StopServer(); }

    int argc = 1;
    char name[9] = "ui_tests";
    char* argv[2] = {name, nullptr};
    QApplication app;
    test::TempDir dir;
    MainThread mainThread;
    TFRPTs window;
    std::optional<Server> server;
};

TEST(MainWindow, ListsFollowTheRegistryAndTheChannels) {
    Desktop d("[In]\nPort=0\n[Client0]\nId=A1\n[client9]\nId=no\n");
    auto* connections = d.window.findChild<QTreeView*>("ListView1");
    auto* channels = d.window.findChild<QTreeView*>("ListView2");
    auto* counter = d.window.findChild<QLabel*>("ConCnt");
    ASSERT_TRUE(connections && channels && counter);
    EXPECT_EQ(channels->model()->rowCount(), 1);
    EXPECT_EQ(channels->model()->index(0, 1).data().toString(), "A1");

    Server& server = *d.server;
    ASSERT_TRUE(d.mainThread.runUntil([&] { return server.inputPort() != 0; }, 3000));
    ScriptedRepeater rpt(server.inputPort());
    // The connection registers through the hand-over, which this thread must serve.
    ASSERT_TRUE(d.mainThread.runUntil([&] { return counter->text() == "1"; }, 3000));
    ASSERT_TRUE(rpt.readWelcome());
    d.window.timerTick();  // draws the start-up state and clears its redraw request
    EXPECT_FALSE(server.RefreshAll);
    rpt.send(EventSpec{}.build());
    ASSERT_TRUE(d.mainThread.runUntil([&] { return server.RefreshAll; }, 3000));
    d.window.timerTick();
    QAbstractItemModel* rows = connections->model();
    ASSERT_EQ(rows->rowCount(), 1);
    EXPECT_EQ(rows->index(0, 1).data().toString(), "A1B2");
    EXPECT_EQ(rows->index(0, 2).data().toString(), "127.0.0.1");
    EXPECT_EQ(rows->index(0, 4).data().toString().toStdString(), EventSpec{}.build());
    EXPECT_EQ(rows->headerData(4, Qt::Horizontal).toString(), "LastMessage");

    rpt.close();
    ASSERT_TRUE(d.mainThread.runUntil([&] { return counter->text() == "0"; }, 3000));
    EXPECT_EQ(rows->rowCount(), 0);
}

TEST(MainWindow, MinimisesAfterTenIdleMinutes) {
    Desktop d("[In]\nPort=0\n");
    for (int i = 0; i < TFRPTs::kIdleTicksBeforeHiding; ++i) d.window.timerTick();
    EXPECT_FALSE(d.window.isMinimized());
    d.window.timerTick();
    EXPECT_TRUE(d.window.isMinimized());
}

}  // namespace
}  // namespace kormlink
