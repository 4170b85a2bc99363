#pragma once

// TDSettings ("Settings"): the operator's dialog for ports, serial settings, time-sync periods,
// test time, output channels and their filters. It works on a SettingsForm read from the
// configuration file; nothing changes until OK, which runs the OK sequence of the settings
// model (rewrite the file, stop the server, start it again from the new settings).
//
// The dialog holds no rules of its own: it shows the form, copies the operator's edits into it
// (channel and filter edits at once, the other controls when form() is asked), and on OK asks
// the model whether the form can be applied. What would fail is made impossible where a control
// can do it (key filters, buttons disabled while nothing is selected) and refused on OK
// otherwise, with the dialog left open.
//
// Main thread only.

#include <QDialog>

#include "settings/settings_model.h"

class QComboBox;
class QCheckBox;
class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QTabWidget;
class QTreeWidget;

namespace kormlink {

class Server;

class TDSettings final : public QDialog {
    Q_OBJECT

public:
    explicit TDSettings(SettingsForm form, QWidget* parent = nullptr);

    // The form as the controls hold it now.
    SettingsForm form() const;

    // OK: refuses, with a message and the dialog left open, a form the model would not apply.
    void accept() override;

private:
    // The six controls of one serial group, in the order of their entries in SerialForm.
    struct SerialBoxes {
        QComboBox* port = nullptr;
        QComboBox* baud = nullptr;
        QComboBox* data = nullptr;
        QComboBox* parity = nullptr;
        QComboBox* stop = nullptr;
        QComboBox* flow = nullptr;
        std::array<QComboBox*, 6> all() const { return {port, baud, data, parity, stop, flow}; }
    };
    // The filter view of one channel with its buttons.
    struct FilterControls {
        QTreeWidget* view = nullptr;
        QPushButton* add = nullptr;
        QPushButton* remove = nullptr;
        QPushButton* edit = nullptr;
    };

    QWidget* buildTcpIpPage();
    QWidget* buildComPage();
    QWidget* buildInputGroup();
    QWidget* buildComInGroup();
    QWidget* buildFilterGroup(const char* groupName, const char* viewName,
                              const std::array<const char*, 3>& buttonNames,
                              FilterControls* controls, QWidget* parent);
    SerialBoxes makeSerialBoxes(QWidget* parent, const char* suffix,
                                const std::vector<std::string>& ports, int firstLabel,
                                std::array<QLabel*, 6>* labels);
    void showForm();
    static void showSerial(const SerialBoxes& boxes, const std::vector<std::string>& ports,
                           const SerialForm& serial);
    static SerialForm readSerial(const SerialBoxes& boxes);

    // Shows channel row of ChBox (or none for -1) in EQSiz and ListView3.
    void showChannel(int row);
    // EQSiz left: its number goes into the selected channel and the stored value is shown.
    void storeQueueSize();
    void addChannel();
    void removeChannel();
    // The filters of the selected client channel; nullptr while none is selected.
    tFList* clientFilters();

    void addFilter(const FilterControls& controls, tFList* filters);
    void editFilter(const FilterControls& controls, tFList* filters);
    void removeFilter(const FilterControls& controls, tFList* filters);
    void updateEnabled();

    SettingsForm m_form;  // the channel copies live here; the other fields are read by form()

    QTabWidget* m_pages = nullptr;        // TcpIp, Com
    QLineEdit* m_outPort = nullptr;       // EPort
    QLineEdit* m_outSync = nullptr;       // TOSyncEd
    QListWidget* m_channelBox = nullptr;  // ChBox, row i is m_form.channels[i]
    QPushButton* m_addChannel = nullptr;
    QPushButton* m_removeChannel = nullptr;
    QLineEdit* m_queueSize = nullptr;        // EQSiz
    FilterControls m_clientFilters;          // ListView3, Button3-5
    SerialBoxes m_outSerial;                 // page Com
    QCheckBox* m_comOn = nullptr;            // ComOnB
    QLineEdit* m_serialQueueSize = nullptr;  // EComQSiz
    FilterControls m_serialFilters;          // ListView2, Button6-8
    QLineEdit* m_inPort = nullptr;           // EIPort
    QLineEdit* m_testTime = nullptr;         // eTTim
    QLineEdit* m_inSync = nullptr;           // TSyncEd
    SerialBoxes m_inSerial;                  // group Com In
};

// Opens the dialog over the running server, modally through the operator dialogs, and on OK
// applies the settings. Returns true when new settings were applied.
bool runSettingsDialog(QWidget* parent, Server& server);

}  // namespace kormlink
