#pragma once

// TOutDlg ("Filter settings"): edits one filter of an output channel: the system number, the
// transmitter Id range, the slots that pass and whether repeater events pass. The key filters
// of its edits keep every field a well-formed number; reading the fields into a tFItem is the
// settings model's filterFromFields.
//
// Main thread only.

#include <QDialog>

#include "output/channels.h"

class QCheckBox;
class QLineEdit;
class QListWidget;

namespace kormlink {

class TOutDlg final : public QDialog {
    Q_OBJECT

public:
    // Empty fields, no slot ticked, repeaters off: a new filter.
    explicit TOutDlg(QWidget* parent = nullptr);
    // Filled from filter.
    explicit TOutDlg(const tFItem& filter, QWidget* parent = nullptr);

    // The filter the fields describe now.
    tFItem filter() const;

private:
    void build();
    void fill(const tFItem& filter);

    QLineEdit* m_sysNr = nullptr;    // ESysNr
    QLineEdit* m_from = nullptr;     // EFrom
    QLineEdit* m_to = nullptr;       // ETo
    QCheckBox* m_rptOn = nullptr;    // RptBox
    QListWidget* m_slots = nullptr;  // SlotList, item i is slot i
};

}  // namespace kormlink
