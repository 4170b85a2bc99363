#pragma once

// TProgDlg ("ProgDlg", caption "Edit"): the modal dialog in which the operator edits one
// repeater configuration image. Its controls are built from the field table and show the editor
// model (editor_model.h), which holds every value and makes every decision; the dialog copies
// its controls into the model before an operation that reads them (a channel change, Save, the
// close query) and back after one that changes them (a load, ShowGeneral, a channel change).
//
// Pages: "General" (with the inner tabs Ch1..Ch8 of "MesDirections"), "Wiznet Settings",
// "Slots" (channel buttons bCh1..bCh8, the slot fields and the address mask grid PB with its
// label Gl and the buttons Set and Clear) and "Advanced" (a warning when it opens). Below them:
// Load, Save, Cancel and OK. OK and Cancel, Enter and Escape, and the window's close box all go
// through the close query ("To leave with record?" / "To leave without record?").
//
// The model is shared: a repeater connection's thread fills it (download) or reads it (upload)
// while the command window waits and the dialog is hidden, and the model stays alive for as
// long as that thread holds it, even after the dialog is gone. Those two operations ask no
// questions; the questions (message and input boxes) are asked on the main thread only.
//
// Object names of the controls (the caption file's keys): the field and check box names of the
// field table; a field's label is "l" and its unit "u" followed by the field name without its
// leading "e" (lRepAddr, uRadioTestPeriod); pages TabSheet1..TabSheet4, inner tabs
// TabSheetCh1..TabSheetCh8; groups gScramblerMask, gMesDirection, gMesDirections, gTxConfig,
// gRepCfg1, gSegments, gBlackList, gMask; buttons bCh1..bCh8, BitBtn1 (Load), BitBtn2 (Save),
// BitBtn3 (Set), BitBtn4 (Clear), CancelBtn, OKBtn.
//
// Main thread only.

#include <QDialog>
#include <QMap>

#include <memory>
#include <vector>

class QAbstractButton;
class QButtonGroup;
class QCheckBox;
class QComboBox;
class QGridLayout;
class QLabel;
class QLineEdit;
class QTabWidget;

namespace kormlink {

class ConfigEditor;
class MaskGridWidget;
struct FieldDef;

class TProgDlg final : public QDialog {
    Q_OBJECT
public:
    explicit TProgDlg(QWidget* parent = nullptr);
    ~TProgDlg() override;

    ConfigEditor& editor() { return *m_model; }
    // The model for a connection thread, which may hold it longer than the dialog lives.
    std::shared_ptr<ConfigEditor> sharedEditor() const { return m_shared; }

    // The model's ShowGeneral, then every control shows the model.
    void ShowGeneral();
    // The offline editor: every channel present, channel 1 current and its button down, the
    // general pages shown. The Slots page keeps its initial values until a channel is chosen.
    void prepareOffline();

    // The operator's actions.
    bool loadAction();               // "Load" (BitBtn1); false when no file was chosen
    void saveAction();               // "Save" (BitBtn2)
    void channelClicked(int k);      // bCh1..bCh8
    void setClicked();               // "Set" (BitBtn3)
    void clearClicked();             // "Clear" (BitBtn4)

    // The close query decides whether OK or Cancel ends the dialog.
    void done(int result) override;

private:
    struct Session;

    QWidget* buildGeneralPage();
    QWidget* buildWiznetPage();
    QWidget* buildSlotsPage();
    QWidget* buildAdvancedPage();
    QWidget* fieldControl(const FieldDef& field, QWidget* parent);
    QCheckBox* addCheckBoxes(const FieldDef& field, QWidget* holder, QGridLayout* grid,
                             int columns);
    QWidget* bitsControl(const FieldDef& field, QWidget* parent, int columns,
                         const char* groupName);
    QWidget* addFieldRow(QGridLayout* grid, int row, int column, const FieldDef& field,
                     QWidget* parent);

    // Controls -> model, and model -> controls (channel buttons, grid and label included; the
    // Slots page's fields only with slotPage).
    void storeControls();
    void showModel(bool slotPage = true);
    void pageChanged(int index);
    void maskChanged();

    std::shared_ptr<Session> m_session;
    ConfigEditor* m_model;
    std::shared_ptr<ConfigEditor> m_shared;
    QTabWidget* m_pages = nullptr;
    QWidget* m_slotFields = nullptr;
    MaskGridWidget* m_grid = nullptr;
    QLabel* m_gridLabel = nullptr;
    QButtonGroup* m_channels = nullptr;
    QMap<QString, QLineEdit*> m_edits;
    QMap<QString, QComboBox*> m_selectors;
    QMap<QString, QCheckBox*> m_checks;
};

}  // namespace kormlink
