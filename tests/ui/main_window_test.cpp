// The main window over a running server, drawn offscreen, the caption translation, and what a
// screen reader finds in each window.

#include "ui/main_window.h"

#include <algorithm>

#include <gtest/gtest.h>

#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QAccessible>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMetaEnum>
#include <QMouseEvent>
#include <QPushButton>
#include <QRadioButton>
#include <QPointer>
#include <QTabWidget>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QTreeView>

#include "config_image/intel_hex.h"
#include "config_image/message_catalog.h"
#include "kormlink_version.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "repeater_sim.h"
#include "support/harness.h"
#include "ui/command_window.h"
#include "ui/editor_dialog.h"
#include "ui/filter_dialog.h"
#include "ui/form_translation.h"
#include "ui/request_dialogs.h"
#include "ui/scripted_dialogs.h"
#include "ui/settings_dialog.h"
#include "ui/trace_window.h"
#include "ui/ui_app.h"

namespace kormlink {
namespace {

using test::EventSpec;
using test::ScriptedRepeater;

// Fills in a request dialog with the Id and, in the code box named, the code, and accepts it.
int fillRequest(QDialog& dlg, const char* id, const char* box = nullptr, const char* code = "") {
    static_cast<TRequestDlg&>(dlg).idBox()->setEditText(id);
    if (box) dlg.findChild<QLineEdit*>(box)->setText(code);
    return QDialog::Accepted;
}

// A window over a server in a temporary data folder, boxes scripted; the test thread is main.
struct Desktop {
    explicit Desktop(const std::string& ini, const std::string& catalog = "") {
        dir.write("Kormlink.ini", ini + "[ComIn]\nCom=0\n");
        if (!catalog.empty()) dir.write(kCatalogFileName, catalog);
        LoadMessages(dir.path());
        window.emplace();
        // Hand-overs run from the Qt event loop, as in the program, so they also run while a
        // sequence of the command window waits.
        mainThread.setWaker([this] {
            QMetaObject::invokeMethod(qApp, [this] { mainThread.runPending(); },
                                      Qt::QueuedConnection);
        });
        ServerOptions options;
        options.dataDir = dir.path();
        server.emplace(mainThread, *window, options);
        window->attach(*server);
        server->LoadConfiguration();
        window->show();
    }
    ~Desktop() {
        server->StopServer();
        window->detach();
        server.reset();
        window.reset();
        mainThread.setWaker(nullptr);
        LoadMessages(".");
    }
    template <class T>
    T* find(const char* name) {
        return window->findChild<T*>(QString::fromLatin1(name));
    }
    // The command window, as the Cmd button opens it.
    TFCmd* commands() {
        find<QToolButton>("BCmd")->click();
        return window->commandWindow();
    }
    // Connections that have reported the Id.
    std::size_t identified(std::uint32_t id = 0xA1B2) {
        std::size_t n = 0;
        if (tHostList* list = server->hostList())
            for (RepeaterConnection* c : list->entries()) n += c->HpId == id ? 1 : 0;
        return n;
    }
    // A scripted repeater that has reported A1B2 and read the answer.
    std::unique_ptr<ScriptedRepeater> repeater(const std::string& from = {}) {
        EXPECT_TRUE(mainThread.runUntil([&] { return server->inputPort() != 0; }, 3000));
        const std::size_t before = identified();
        auto rpt = std::make_unique<ScriptedRepeater>(server->inputPort(), from);
        EXPECT_TRUE(rpt->readWelcome());
        rpt->send(EventSpec{}.build());
        EXPECT_TRUE(mainThread.runUntil([&] { return identified() > before; }, 3000));
        EXPECT_TRUE(rpt->readLine());
        return rpt;
    }

    test::UiApp ui;
    test::ScriptedDialogs dialogs;
    test::TempDir dir;
    MainThread mainThread;
    std::optional<TFRPTs> window;
    std::optional<Server> server;
};

TEST(MainWindow, ListsFollowTheRegistryAndTheQueues) {
    Desktop d("[In]\nPort=0\n[Out]\nPort=0\n[Client0]\nId=A1\n[client9]\nId=no\n");
    auto* connections = d.find<QTreeView>("ListView1");
    auto* channels = d.find<QTreeView>("ListView2");
    auto* counter = d.find<QLabel>("ConCnt");
    ASSERT_TRUE(connections && channels && counter);
    QAbstractItemModel* queues = channels->model();
    ASSERT_EQ(queues->rowCount(), 1);  // "client9" is no channel section
    EXPECT_EQ(queues->index(0, 1).data().toString(), "A1");
    EXPECT_EQ(queues->index(0, 2).data().toString(), "0");

    Server& server = *d.server;
    ASSERT_TRUE(d.mainThread.runUntil([&] { return server.inputPort() != 0; }, 3000));
    ScriptedRepeater rpt(server.inputPort());
    // The connection is listed at once, through the hand-over this thread serves.
    ASSERT_TRUE(d.mainThread.runUntil([&] { return counter->text() == "1"; }, 3000));
    ASSERT_TRUE(rpt.readWelcome());
    d.window->timerTick();  // draws the start-up state and clears its redraw request
    EXPECT_FALSE(server.RefreshAll);
    rpt.send(EventSpec{}.build());
    ASSERT_TRUE(d.mainThread.runUntil([&] { return server.RefreshAll; }, 3000));
    d.window->timerTick();
    QAbstractItemModel* rows = connections->model();
    ASSERT_EQ(rows->rowCount(), 1);
    const std::string row[] = {"A1B2", "127.0.0.1", "1", EventSpec{}.build()};
    for (int c = 1; c <= 4; ++c)
        EXPECT_EQ(rows->index(0, c).data().toString().toStdString(), row[c - 1]) << c;
    EXPECT_EQ(queues->index(0, 2).data().toString(), "1");
    EXPECT_TRUE(queues->index(0, 0).data(Qt::DecorationRole).isNull());  // no client attached

    rpt.close();
    ASSERT_TRUE(d.mainThread.runUntil([&] { return counter->text() == "0"; }, 3000));
    EXPECT_EQ(rows->rowCount(), 0);
}

TEST(MainWindow, GoesAwayAfterTenIdleMinutesAndComesBack) {
    Desktop d("[In]\nPort=0\n");
    TFRPTs& w = *d.window;
    auto idle = [&](int ticks) {
        for (int i = 0; i < ticks; ++i) w.timerTick();
    };
    idle(TFRPTs::kIdleTicksBeforeHiding - 1);
    // A mouse movement over a list starts the count again.
    QWidget* list = d.find<QTreeView>("ListView2")->viewport();
    QMouseEvent move(QEvent::MouseMove, QPointF(5, 5), list->mapToGlobal(QPointF(5, 5)),
                     Qt::NoButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(list, &move);
    idle(TFRPTs::kIdleTicksBeforeHiding);
    EXPECT_FALSE(w.isAway());
    idle(1);
    EXPECT_TRUE(w.isAway());

    w.restoreFromTray();
    EXPECT_FALSE(w.isAway());
    idle(TFRPTs::kIdleTicksBeforeHiding);
    EXPECT_FALSE(w.isAway());  // another ten minutes before it goes again
}

// The main window's captions; one command window, however often it is asked for, with its
// built-in title as the catalog has none for it; the kinds of component that take a caption, on
// a dialog built for the purpose.
TEST(MainWindow, CaptionsComeFromTheCatalogWithTheVersionAfterThem) {
    const QString version = QStringLiteral(" v") + QString::fromLatin1(KORMLINK_VERSION);
    Desktop d("[In]\nPort=0\n",
              "[frpts]\nFRPTs=Relais\nbcmd=&Befehle\nListView1=ignored\nNoSuch=x\n[TestDlg]\n"
              "TestDlg=Title\nLabel1=L\nGroup1=G\nPage1=P\nCheck1=C\nButton1=B\nCombo1=X\n"
              "Radio1=X\nnone=X\n");
    EXPECT_EQ(d.window->windowTitle(), QStringLiteral("Relais") + version);
    EXPECT_EQ(d.find<QToolButton>("BCmd")->text(), "&Befehle");
    // The shortcut is a control key, so the caption's own Alt mnemonic cannot collide with it.
    EXPECT_EQ(d.find<QToolButton>("BCmd")->toolTip(), "Befehle (Ctrl+K)");
    EXPECT_EQ(d.find<QToolButton>("bOpt")->text(), "Settings");

    TFCmd* first = d.commands();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(d.commands(), first);
    EXPECT_EQ(std::ranges::count_if(QApplication::topLevelWidgets(),
                                    [](QWidget* w) { return w->objectName() == "FCmd"; }),
              1);
    EXPECT_EQ(first->windowTitle(), "Commands");
    // Ctrl+W closes it, also from its command line; its Close button names the key.
    EXPECT_EQ(first->findChild<QToolButton*>("ToolButton8")->toolTip(), "Close (Ctrl+W)");
    first->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(first));
    QTest::keyClick(first->findChild<QComboBox*>("CmdBox")->lineEdit(), Qt::Key_W,
                    Qt::ControlModifier);
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_EQ(d.window->commandWindow(), nullptr);

    QDialog dialog;
    dialog.setObjectName("TestDlg");
    auto named = [](auto* w, const char* name) {
        w->setObjectName(name);
        return w;
    };
    auto* label = named(new QLabel("l", &dialog), "Label1");
    auto* group = named(new QGroupBox("g", &dialog), "Group1");
    auto* tabs = new QTabWidget(&dialog);
    tabs->addTab(named(new QWidget, "Page1"), "p");
    auto* check = named(new QCheckBox("c", &dialog), "Check1");
    auto* button = named(new QPushButton("b", &dialog), "Button1");
    auto* combo = named(new QComboBox(&dialog), "Combo1");
    combo->addItem("c");
    auto* radio = named(new QRadioButton("r", &dialog), "Radio1");
    EXPECT_EQ(translateWindow(dialog, "Built in"), 6);
    EXPECT_EQ((QStringList{dialog.windowTitle(), label->text(), group->title(), tabs->tabText(0),
                           check->text(), button->text(), combo->currentText(), radio->text()}),
              QStringList({"Title", "L", "G", "P", "C", "B", "c", "r"}));
}

QString roleName(QAccessibleInterface* node) {
    return QMetaEnum::fromType<QAccessible::Role>().valueToKey(node->role());
}

// A screen reader's walk below node. Every control it reaches (what Tab stops at, and the cells
// of a column that shows a mark or a check box in some row) needs a name, its own or its
// label's (on Linux a combo box is named by its value and its label), and a role other than a
// bare container's; a combo box's text box and list are parts of it. names gathers the names.
void walk(QAccessibleInterface* node, QStringList& faults, QStringList& names) {
    static const QList<QAccessible::Role> bare = {QAccessible::NoRole, QAccessible::Client,
                                                  QAccessible::Pane, QAccessible::Grouping};
    for (int i = 0; i < node->childCount(); ++i) {
        QAccessibleInterface* child = node->child(i);
        QString name = child->text(QAccessible::Name).trimmed();
        for (const auto& [label, relation] : child->relations(QAccessible::Label))
            if (name.isEmpty()) name = label->text(QAccessible::Name).trimmed();
        auto* widget = qobject_cast<QWidget*>(child->object());
        bool control = widget && !widget->focusProxy() && (widget->focusPolicy() & Qt::TabFocus);
        QString what = widget ? widget->objectName() : QString();
        if (QAccessibleTableCellInterface* cell = child->tableCellInterface()) {
            auto* view = static_cast<QAbstractItemView*>(cell->table()->object());
            what = view->objectName() +
                   QStringLiteral("[%1,%2]").arg(cell->rowIndex()).arg(cell->columnIndex());
            for (int row = 0; row < view->model()->rowCount(); ++row) {
                const QModelIndex at = view->model()->index(row, cell->columnIndex());
                control |=
                    !at.data(Qt::DecorationRole).isNull() || !at.data(Qt::CheckStateRole).isNull();
            }
        }
        if (control) names << name;
        if (control && name.isEmpty()) faults << what + " (" + roleName(child) + "): no name";
        if (control && bare.contains(child->role())) faults << what + ": role " + roleName(child);
        if (child->role() != QAccessible::ComboBox) walk(child, faults, names);
    }
}

// Every window the operator opens must be a window or a dialog with a name whose controls pass
// walk; under a caption file that renames the channel list's mark and the groups that hold the
// lists, the mark and the lists are spoken in its words.
TEST(Accessibility, EveryControlOfEveryWindowHasANameAndARole) {
    Desktop d("[In]\nPort=0\n[Out]\nPort=0\n[Client0]\nId=A1\n[Client1]\nId=B2\n",
              "[FRPTs]\nConnected=belegt\nNotConnected=frei\n[DSettings]\nGroupBox2=Kanaele\n"
              "GroupBox3=Filterliste\n[OutDlg]\nGroupBox2=Schlitze\n");
    d.server->channels()->at(0).Connected = 1;  // a client takes A1, none takes B2
    TFCmd& commands = *d.commands();
    d.window->startTrace(0xA1B2);
    TDSettings settings{SettingsForm{}};
    TOutDlg filter;
    TUpdateDlg update;
    TPrgDlg prog;
    TDbgDlg dbg;
    TProgDlg editor;
    QWidget* const windows[] = {&*d.window, &settings, &filter,
                                &commands,  &update,   &prog,
                                &dbg,       &editor,   d.window->traceWindow()};
    QStringList names;
    for (QWidget* window : windows) {
        QStringList faults;
        QAccessibleInterface* top = QAccessible::queryAccessibleInterface(window);
        if (top->role() != QAccessible::Window && top->role() != QAccessible::Dialog)
            faults << "the window: role " + roleName(top);
        if (top->text(QAccessible::Name).isEmpty()) faults << "the window: no name";
        walk(top, faults, names);
        EXPECT_EQ(faults.join('\n').toStdString(), "") << window->objectName().toStdString();
    }
    for (const char* name : {"belegt", "frei", "Kanaele", "Filterliste", "Schlitze"})
        EXPECT_TRUE(names.contains(QString::fromLatin1(name))) << "nothing named " << name;
}

// Two connections that report the same Id from two addresses: Enter and the buttons are
// refused, and the list marks the Id, until one of them ends.
TEST(CommandWindow, AnIdClaimedFromTwoAddressesTakesNoCommandUntilOneEnds) {
    Desktop d("[In]\nPort=0\n[Commands]\nb=dicfg\na=reset\n");
    auto first = d.repeater(), second = d.repeater("127.0.0.2");
    tHostList& list = *d.server->hostList();
    ASSERT_EQ(d.identified(), 2u);

    TFCmd& cmd = *d.commands();
    auto* address = cmd.findChild<QComboBox*>("AdrBox");
    auto* command = cmd.findChild<QComboBox*>("CmdBox");
    ASSERT_EQ(command->count(), 2);  // the values of [Commands], in file order
    EXPECT_EQ(command->itemText(0), "dicfg");

    const QString refusal = "Id A1B2 is claimed by 127.0.0.1 and 127.0.0.2; commands are "
                            "refused until one of them ends.";
    address->setEditText("a1b2");
    command->setEditText("ping");
    d.dialogs.answers = {true, true};  // the warnings
    d.dialogs.files = {QStringLiteral("/tmp/fw.hex"), QStringLiteral("/tmp/fw.hex")};
    d.dialogs.onExec = [](QDialog& dlg) { return fillRequest(dlg, "A1B2", "EMCode", "1234"); };
    for (auto send : {&TFCmd::handOver, &TFCmd::updateSequence}) {
        (cmd.*send)();
        EXPECT_EQ(cmd.lines().back(), refusal);
        EXPECT_EQ(list.at(0)->pendingCmd() + list.at(1)->pendingCmd(), "");
    }
    const QModelIndex idCell = d.find<QTreeView>("ListView1")->model()->index(1, 1);
    EXPECT_EQ(idCell.data().toString(), "A1B2 !");
    EXPECT_EQ(idCell.data(Qt::ToolTipRole).toString(), refusal);

    second->close();
    ASSERT_TRUE(d.mainThread.runUntil([&] { return d.identified() == 1; }, 3000));
    cmd.handOver();
    EXPECT_EQ(list.at(0)->pendingCmd(), "ping");
    EXPECT_EQ(command->count(), 2);  // the list is not extended
    cmd.updateSequence();
    EXPECT_EQ(list.at(0)->pendingCmd(), "1234?upfirm|/tmp/fw.hex");

    // Ctrl+U reaches the hidden upload from the Id box, whose own Ctrl+U would erase the text.
    cmd.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&cmd));
    address->setFocus();
    QTest::keyClick(address->lineEdit(), Qt::Key_U, Qt::ControlModifier);
    EXPECT_EQ(d.dialogs.shown.back(), "Firmeware upee: RPT_ID:MasterCode");
    EXPECT_EQ(address->currentText(), "a1b2");

    address->setEditText("7777");  // the serial link's Id; none is connected here
    cmd.handOver();
    EXPECT_EQ(cmd.lines().back(), "7777: No connection");
    address->setEditText("0");  // no Id: nothing is sent, the focus goes to the Id
    cmd.handOver();
    EXPECT_EQ(cmd.lines().size(), 3);
}

// The Prog sequence against a simulated repeater over loopback: the download fills the editor,
// one field is changed, OK uploads, and the uploaded lines carry the change.
TEST(CommandWindow, ProgDownloadsEditsAndUploadsTheChange) {
    Desktop d("[In]\nPort=0\n[upee]\ndelay=1\n");
    ASSERT_TRUE(d.mainThread.runUntil([&] { return d.server->inputPort() != 0; }, 3000));
    sim::RepeaterSimOptions options;
    options.port = d.server->inputPort();
    options.rate = 20;
    options.uploadFile = d.dir.path() + "/uploaded.hex";
    options.answerTimeoutMs = 500;  // how long its stop waits for answers
    sim::RepeaterSim repeater(options);
    ASSERT_TRUE(repeater.start(nullptr));
    ASSERT_TRUE(d.mainThread.runUntil([&] { return d.identified(0x100001) == 1; }, 5000));

    TFCmd& cmd = *d.commands();
    // Load from the repeater; go on past both counts (the simulator's image has no slot data, so
    // they read 255); leave with record.
    d.dialogs.answers = {true, true, true, true};
    d.dialogs.onExec = [&](QDialog& dlg) {
        if (dynamic_cast<TPrgDlg*>(&dlg)) return fillRequest(dlg, "100001", "EICode", "4321");
        auto* field = dlg.findChild<QLineEdit*>("eRepAddr");
        EXPECT_EQ(field->text(), "64");  // the simulator's general block starts with 0x40
        EXPECT_TRUE(cmd.busy());
        field->setText("77");
        dlg.accept();
        return dlg.result();
    };
    cmd.progSequence();
    EXPECT_EQ(d.dialogs.shown.back(), "Warning: To leave with record?");  // the upload ended well
    // 77 = 0x4D at 0x1000, the next byte as downloaded.
    EXPECT_TRUE(d.mainThread.runUntil(
        [&] {
            QCoreApplication::processEvents();
            for (const std::string& line : readTextLines(options.uploadFile))
                if (line.rfind(":10100000", 0) == 0) return line.substr(9, 4) == "4D41";
            return false;
        },
        10000));
}

// A repeater that never speaks: the request is given up after the bound and withdrawn, a second
// editor is refused meanwhile, and a connection that ends cuts the wait short. Closing in the
// middle of a sequence, and a connection that ends while a question is open.
TEST(CommandWindow, ProgWaitsAreBoundedAndSequencesSurviveClosesAndLostConnections) {
    Desktop d("[In]\nPort=0\n");
    QApplication::setQuitOnLastWindowClosed(false);  // as the program runs
    auto rpt = d.repeater();
    tHostList& list = *d.server->hostList();

    QPointer<TFCmd> cmd = d.commands();
    cmd->setProgWaitMs(400);
    d.dialogs.onExec = [](QDialog& dlg) {
        QComboBox* box = static_cast<TRequestDlg&>(dlg).idBox();
        EXPECT_EQ(box->itemText(0), "A1B2");  // the connected Ids are listed, none chosen
        EXPECT_TRUE(box->currentText().isEmpty());
        dlg.show();
        QTest::keyClicks(box, "0a1b2");
        QTest::keyClick(box, Qt::Key_Return);  // accepts; the typed Id is not added to the list
        EXPECT_EQ(box->count(), 1);
        return dlg.result();
    };
    QTimer::singleShot(100, cmd, [&] {
        EXPECT_EQ(list.at(0)->pendingCmd(), "prog-");
        cmd->editSequence();
        cmd->upeeSequence();
    });
    d.dialogs.answers = {false};  // not from the repeater: "prog-"
    cmd->progSequence();
    EXPECT_EQ(list.at(0)->pendingCmd(), "");  // withdrawn
    ASSERT_EQ(d.dialogs.shown.size(), 4u);
    EXPECT_EQ(d.dialogs.shown[1].rfind("Commands: Repeater A1B2 is being programmed", 0), 0u);
    EXPECT_EQ(d.dialogs.shown[2], d.dialogs.shown[1]);
    EXPECT_EQ(d.dialogs.shown[3], "Warning: Wait timeout exceeding!");
    EXPECT_EQ(cmd->lines().back(),
              "A1B2: no answer within 0.4 s; the programming request was withdrawn");

    cmd->setProgWaitMs(10'000);
    QTimer::singleShot(100, cmd, [&] { rpt->close(); });
    d.dialogs.answers = {true};
    cmd->progSequence();
    EXPECT_EQ(d.dialogs.shown.back(), "Warning: A1B2: the connection has ended.");
    EXPECT_FALSE(cmd->busy());

    // Closed while the offline editor is open (the tray's Quit does that): the window waits
    // for the editor, whose dialog lives inside it, then goes.
    d.dialogs.onExec = [&](QDialog&) {
        cmd->close();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        EXPECT_FALSE(cmd.isNull());
        return int(QDialog::Rejected);
    };
    cmd->editSequence();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    EXPECT_TRUE(cmd.isNull());

    rpt = d.repeater();
    cmd = d.commands();
    d.dialogs.onExec = [](QDialog& dlg) { return fillRequest(dlg, "a1b2"); };
    // The repeater goes while "Load from repeater?" is open: nothing is handed to the freed
    // connection.
    d.dialogs.onQuestion = [&] {
        rpt.reset();
        d.mainThread.runUntil([&] { return list.size() == 0; }, 3000);
    };
    d.dialogs.answers = {true};
    cmd->progSequence();
    EXPECT_EQ(cmd->lines().back(), "A1B2: No connection");
    d.dialogs.onQuestion = nullptr;

    // The main window closed while a request waits: the wait ends and the program quits.
    rpt = d.repeater();
    d.dialogs.answers = {false};
    QTimer::singleShot(0, cmd, [&] { cmd->progSequence(); });
    QTimer::singleShot(200, d.window.operator->(), [&] { d.window->close(); });
    QTimer::singleShot(5000, [] { QCoreApplication::exit(99); });
    EXPECT_EQ(QApplication::exec(), 0);
    EXPECT_EQ(list.at(0)->pendingCmd(), "");  // withdrawn
}

}  // namespace
}  // namespace kormlink
