// The configuration editor's dialog over its model, offscreen: channel changes and their count
// questions, the mask grid under the mouse and Set/Clear, key filters, the close query, and a
// Save and Load round trip.

#include "ui/editor_dialog.h"

#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>

#include "config_image/editor_model.h"
#include "config_image/mask_grid.h"
#include "support/harness.h"
#include "ui/mask_grid_widget.h"
#include "ui/scripted_dialogs.h"
#include "ui/ui_app.h"

namespace kormlink {
namespace {

struct Editor : ::testing::Test {
    Editor() { dlg.prepareOffline(); }

    template <class T = QLineEdit>
    T* find(const char* name) {
        T* w = dlg.findChild<T*>(QString::fromLatin1(name));
        EXPECT_NE(w, nullptr) << name;
        return w;
    }
    void drag(int from, int to, Qt::KeyboardModifiers modifiers = Qt::NoModifier) {
        auto mouse = [&](QEvent::Type type, int address, Qt::MouseButtons buttons) {
            const QPointF at((address % 128) * 6 + 3, (address / 128) * 5 + 2);
            QMouseEvent event(type, at, at, Qt::LeftButton, buttons, modifiers);
            QApplication::sendEvent(find<MaskGridWidget>("PB"), &event);
        };
        mouse(QEvent::MouseButtonPress, from, Qt::LeftButton);
        mouse(QEvent::MouseMove, to, Qt::LeftButton);
        mouse(QEvent::MouseButtonRelease, to, Qt::NoButton);
    }

    test::UiApp ui;
    test::ScriptedDialogs dialogs;
    TProgDlg dlg;
};

TEST_F(Editor, WrongCountAnsweredNoKeepsTheChannelAndItsValues) {
    find("eDigOfActiveSeg")->setText("2");  // one pair filled below, not two
    find("eSegment3L")->setText("100");
    dialogs.answers = {false};
    find<QToolButton>("bCh2")->click();
    EXPECT_EQ(dialogs.shown,
              std::vector<std::string>{"Warning: Incorrect quantity of used segments! Continue?"});
    EXPECT_TRUE(find<QToolButton>("bCh1")->isChecked());
    EXPECT_FALSE(find<QToolButton>("bCh2")->isChecked());
    EXPECT_EQ(find("eSegment3L")->text(), "100");

    // Going on: channel 2 shows its own record, with a value longer than typing allows, kept
    // whole also through a store; channel 1 comes back as it was left.
    dlg.editor().image().Slots[1][2] = 0xFF;
    dlg.editor().image().Slots[1][3] = 0xFF;
    dialogs.answers = {true, true, true};
    find<QToolButton>("bCh2")->click();
    find("eSegment1L")->end(false);
    QTest::keyClicks(find("eSegment1L"), "0");
    EXPECT_EQ(find("eSegment1L")->text(), "65535");
    find<QToolButton>("bCh1")->click();
    EXPECT_EQ(find("eSegment3L")->text(), "100");
    EXPECT_EQ(find("eDigOfActiveSeg")->text(), "2");
    find<QToolButton>("bCh2")->click();
    EXPECT_EQ(find("eSegment1L")->text(), "65535");
}

TEST_F(Editor, DragSelectsTheRangeAndSetClearTakeTypedRanges) {
    const MaskGrid& grid = dlg.editor().grid();
    drag(300, 10);
    EXPECT_EQ(find<QLabel>("Gl")->text(), "10..300");
    drag(1000, 1001, Qt::ControlModifier);  // Ctrl: a new range replaces the drag, none cleared
    EXPECT_EQ(grid.selectedCount(), 2);
    find<QPushButton>("BitBtn3")->click();  // Set takes the selection, no input box
    EXPECT_EQ(grid.enabledCount(), 2);
    EXPECT_TRUE(dialogs.shown.empty());

    dialogs.inputs = {QStringLiteral("10 20, 100 131")};
    find<QPushButton>("BitBtn3")->click();
    EXPECT_EQ(grid.enabledCount(), 2 + 11 + 32);
    EXPECT_EQ(dialogs.shown.back(), "Set: From To");
    dialogs.inputs = {QStringLiteral("0 4095")};
    find<QPushButton>("BitBtn4")->click();
    EXPECT_EQ(dialogs.shown.back(), "Clr: From To");
    EXPECT_EQ(grid.enabledCount(), 0);
}

// The key filters; Tab follows the columns of the General page and the rows of the Slots page,
// not the order of the memory map; the close query.
TEST_F(Editor, KeyFiltersTabOrderAndTheCloseQuery) {
    // Hexadecimal at most 2 for ePspPolynom; eFirmID takes digits only, read as hexadecimal.
    for (const auto& [field, keys, text] :
         {std::tuple{"eRepAddr", "1a-2", "12"}, {"ePspPolynom", "aFg7", "aF"},
          {"eFirmID", "1b2", "12"}, {"eLocalPort", "123456", "12345"}}) {
        find(field)->clear();  // typed key by key, through the key filter
        QTest::keyClicks(find(field), keys);
        EXPECT_EQ(find(field)->text(), text);
    }
    auto chain = [&](const char* from, int n) {
        std::vector<std::string> names;
        QWidget* w = find<QWidget>(from);
        while (static_cast<int>(names.size()) < n) {
            if (w->focusPolicy() & Qt::TabFocus) names.push_back(w->objectName().toStdString());
            w = w->nextInFocusChain();
        }
        return names;
    };
    using V = std::vector<std::string>;
    EXPECT_EQ(chain("eBatNorma", 4),
              (V{"eBatNorma", "eNumberOfRadioTstMes", "eFirmID", "eTxScramblerMaskSlot0"}));
    EXPECT_EQ(chain("eTxScramblerMaskSlot7", 3), (V{"eTxScramblerMaskSlot7", "eAltForWiznet",
                                                    "eAltForCom1"}));
    EXPECT_EQ(chain("bCh8", 5), (V{"bCh8", "eType", "eScramblerMask", "eDigOfActiveSeg",
                                   "eSegment1L"}));
    // OK with a wrong count: No keeps the dialog open without the leave question.
    find("eDigOfActiveBlack")->setText("1");
    dialogs.answers = {false};
    dlg.accept();
    EXPECT_EQ(dialogs.shown.size(), 1u);
    dialogs.answers = {true, false};  // go on; but do not leave
    dlg.accept();
    EXPECT_EQ(dialogs.shown.back(), "Warning: To leave with record?");
    EXPECT_EQ(dlg.result(), 0);
    dialogs.answers = {true, true};
    dlg.accept();
    EXPECT_EQ(dlg.result(), int(QDialog::Accepted));

    dialogs.answers = {false};
    dlg.reject();
    EXPECT_EQ(dialogs.shown.back(), "Warning: To leave without record?");

    // The Advanced page warns each time it opens.
    find<QTabWidget>("PageControl1")->setCurrentIndex(3);
    EXPECT_EQ(dialogs.shown.back().rfind("Warning: Attention! For competent users only!", 0), 0u);
}

TEST_F(Editor, SaveThenLoadRoundTrip) {
    test::TempDir dir;
    const QString path = QString::fromStdString(dir.file("image.hex"));
    find("eRepAddr")->setText("77");
    find<QComboBox>("eAltForGsm")->setCurrentIndex(4);
    dialogs.files = {path, path};  // saved, then loaded into another dialog
    find<QPushButton>("BitBtn2")->click();

    TProgDlg other;
    for (auto& present : other.editor().image().ChannelPresent) present = 1;
    other.findChild<QPushButton*>("BitBtn1")->click();
    EXPECT_EQ(other.findChild<QLineEdit*>("eRepAddr")->text(), "77");
    EXPECT_EQ(other.findChild<QComboBox*>("eAltForGsm")->currentText(), "GSM/GPRS");
    EXPECT_TRUE(other.findChild<QToolButton*>("bCh1")->isChecked());

    // A file that cannot be written is reported, not passed for saved.
    dialogs.files = {QString::fromStdString(dir.path() + "/no/such/folder/x.hex")};
    find<QPushButton>("BitBtn2")->click();
    EXPECT_EQ(dialogs.shown.back().rfind("Error: ", 0), 0u);
}

}  // namespace
}  // namespace kormlink
