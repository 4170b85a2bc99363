// The settings and filter dialogs, drawn offscreen and driven through the scripted operator
// dialogs, over a server in a temporary data folder.

#include "ui/settings_dialog.h"

#include <optional>
#include <stdexcept>

#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest/QTest>

#include "core/main_thread.h"
#include "core/operator_view.h"
#include "platform/ini.h"
#include "server/server.h"
#include "support/harness.h"
#include "ui/scripted_dialogs.h"
#include "ui/ui_app.h"

namespace kormlink {
namespace {

template <class T>
T* child(QWidget& window, const char* name) {
    T* c = window.findChild<T*>(QString::fromLatin1(name));
    if (!c) throw std::runtime_error(std::string("no control ") + name);
    return c;
}

QString cell(QTreeWidget* view, int row, int column) {
    QTreeWidgetItem* item = view->topLevelItem(row);
    return item ? item->text(column) : QString();
}

// A running server whose settings dialog is answered by the script.
struct Desk {
    explicit Desk(const std::string& sections) {
        const int inPort = test::freePort();
        while (outPort == inPort) outPort = test::freePort();
        dir.write("Kormlink.ini", "[In]\nPort=" + std::to_string(inPort) +
                                      "\n[Out]\nPort=" + std::to_string(outPort) +
                                      "\n[ComIn]\nCom=0\n" + sections);
        ServerOptions options;
        options.dataDir = dir.path();
        server.emplace(mainThread, view, options);
        server->LoadConfiguration();
    }
    ~Desk() { server->StopServer(); }

    test::UiApp app;
    test::TempDir dir;
    MainThread mainThread;
    NullOperatorView view;
    std::optional<Server> server;
    test::ScriptedDialogs dialogs;
    int outPort = test::freePort();
};

TEST(SettingsDialog, EditsChannelsAndFiltersAndWritesThemOnOk) {
    Desk d("[Client0]\nId=A\n[Client1]\nId=B\nQSize=70\nFlt0=5;6;$01;$01;1\n"
           "[Com]\nFlt0=2;3;$02;$01;0\n");
    d.dialogs.inputs = {QString("a/b"), QString("7")};
    int filterDialogs = 0;
    d.dialogs.onExec = [&](QDialog& dlg) -> int {
        if (dlg.objectName() == "OutDlg") {
            auto* slotList = child<QListWidget>(dlg, "SlotList");
            auto* rptOn = child<QCheckBox>(dlg, "RptBox");
            if (++filterDialogs > 1) {  // opened on the row: it shows the filter; slot 7, Off
                EXPECT_EQ(child<QLineEdit>(dlg, "ESysNr")->text(), "0A");
                EXPECT_EQ(child<QLineEdit>(dlg, "ETo")->text(), "500");
                for (int i = 0; i < 8; ++i)
                    EXPECT_EQ(slotList->item(i)->checkState() == Qt::Checked, i == 0 || i == 2);
                EXPECT_TRUE(rptOn->isChecked());
                slotList->item(7)->setCheckState(Qt::Checked);
                rptOn->setChecked(false);
                return QDialog::Accepted;
            }
            // Typed key by key: the key filters drop "g", "x" and "-", and cut at the length.
            for (auto [edit, keys] :
                 {std::pair{"ESysNr", "0gA1"}, {"EFrom", "x1-0"}, {"ETo", "005001"}})
                QTest::keyClicks(child<QLineEdit>(dlg, edit), keys);
            for (int slot : {0, 2}) slotList->item(slot)->setCheckState(Qt::Checked);
            rptOn->setChecked(true);
            return QDialog::Accepted;
        }
        auto* channels = child<QListWidget>(dlg, "ChBox");
        auto* queueSize = child<QLineEdit>(dlg, "EQSiz");
        auto* filters = child<QTreeWidget>(dlg, "ListView3");
        auto* serialFilters = child<QTreeWidget>(dlg, "ListView2");
        // The serial filters are shown although the dialog opens on the other page.
        EXPECT_EQ(serialFilters->topLevelItemCount(), 1);
        EXPECT_EQ(cell(serialFilters, 0, 0), "02");

        // Removing A shows B, which moves up into its place.
        child<QPushButton>(dlg, "Button2")->click();
        EXPECT_EQ(channels->count(), 1);
        EXPECT_EQ(queueSize->text(), "70");
        EXPECT_EQ(filters->topLevelItemCount(), 1);
        queueSize->setText("3");
        emit queueSize->editingFinished();
        EXPECT_EQ(queueSize->text(), "10");

        // "a/b" is refused and offered again, corrected to "7".
        child<QPushButton>(dlg, "Button1")->click();
        EXPECT_EQ(d.dialogs.shown.size(), 3u);  // input box, refusal, input box again
        EXPECT_EQ(channels->count(), 2);
        EXPECT_EQ(channels->currentRow(), 1);
        EXPECT_EQ(queueSize->text(), "50");
        EXPECT_EQ(filters->topLevelItemCount(), 0);
        EXPECT_FALSE(child<QPushButton>(dlg, "Button5")->isEnabled());
        child<QPushButton>(dlg, "Button3")->click();
        EXPECT_TRUE(child<QPushButton>(dlg, "Button5")->isEnabled());
        const char* row[] = {"0A", "10", "500", "00000101", "On"};
        for (int c = 0; c < 5; ++c) EXPECT_EQ(cell(filters, 0, c), row[c]);
        // Enter on a filter row edits it; it does not close the dialog.
        filters->setCurrentItem(filters->topLevelItem(0));
        QTest::keyClick(filters, Qt::Key_Return);
        EXPECT_EQ(filterDialogs, 2);
        EXPECT_EQ(dlg.result(), 0);

        serialFilters->setCurrentItem(serialFilters->topLevelItem(0));
        QTest::keyClick(serialFilters, Qt::Key_Delete);
        EXPECT_EQ(serialFilters->topLevelItemCount(), 0);
        EXPECT_FALSE(child<QPushButton>(dlg, "Button7")->isEnabled());

        child<QPushButton>(dlg, "OKBtn")->click();
        return dlg.result();
    };
    ASSERT_TRUE(runSettingsDialog(nullptr, *d.server));

    const IniFile ini = IniFile::load(d.dir.file("Kormlink.ini"));
    using Entries = std::vector<std::pair<std::string, std::string>>;
    EXPECT_EQ(ini.entries("Client0"),
              (Entries{{"Id", "B"}, {"QSize", "10"}, {"Flt0", "5;6;$01;$01;1"}}));
    EXPECT_EQ(ini.entries("Client1"),
              (Entries{{"Id", "7"}, {"QSize", "50"}, {"Flt0", "10;500;$0A;$85;0"}}));
    EXPECT_FALSE(ini.hasSection("Client2"));
    EXPECT_FALSE(ini.value("Com", "Flt0"));
    EXPECT_TRUE(d.server->isRunning());
    EXPECT_TRUE(d.mainThread.runUntil([&] { return d.server->outputPort() == d.outPort; }, 3000));
}

TEST(SettingsDialog, RefusesWhatWouldFailAndStaysOpen) {
    Desk d("[Client0]\nId=A\n");
    const std::string before = d.dir.read("Kormlink.ini");
    d.dialogs.onExec = [&](QDialog& dlg) -> int {
        dlg.show();
        auto* outSync = child<QLineEdit>(dlg, "TOSyncEd");
        outSync->setText("12:60");
        QTest::keyClick(outSync, Qt::Key_Return);  // Enter is OK
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(d.dialogs.shown.size(), 1u);

        outSync->setText("01:30");
        child<QLineEdit>(dlg, "EIPort")->setText("70000");
        child<QPushButton>(dlg, "OKBtn")->click();
        EXPECT_TRUE(dlg.isVisible());
        EXPECT_EQ(d.dialogs.shown.size(), 2u);

        // Nothing to remove or edit until a channel or filter row is chosen.
        child<QListWidget>(dlg, "ChBox")->setCurrentRow(-1);
        EXPECT_FALSE(child<QLineEdit>(dlg, "EQSiz")->isEnabled());
        EXPECT_FALSE(child<QPushButton>(dlg, "Button2")->isEnabled());
        EXPECT_FALSE(child<QPushButton>(dlg, "Button3")->isEnabled());

        QTest::keyClick(&dlg, Qt::Key_Escape);  // Escape is Cancel
        return dlg.result();
    };
    EXPECT_FALSE(runSettingsDialog(nullptr, *d.server));
    for (const std::string& s : d.dialogs.shown) EXPECT_NE(s.find("Settings: "), std::string::npos);
    EXPECT_EQ(d.dir.read("Kormlink.ini"), before);
    EXPECT_TRUE(d.server->isRunning());
}

}  // namespace
}  // namespace kormlink
