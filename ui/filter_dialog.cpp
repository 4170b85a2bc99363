// Object names of the filter dialog, as a caption file addresses them (section "OutDlg"):
//
//   OutDlg      the window ("Filter settings")
//   Label1      "SysNr"            ESysNr     system number, two hexadecimal digits
//   GroupBox1   "Tx ID"
//   Label2      "From"             EFrom      lowest transmitter Id, decimal
//   Label3      "To"               ETo        highest transmitter Id, decimal
//   RptBox      "Repeaters On"
//   GroupBox2   "Slot"             SlotList   check list of the slots "0" to "7", named after
//                                             its group for screen readers
//   OKBtn       "OK"               CancelBtn  "Cancel"

#include "ui/filter_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QVBoxLayout>

#include "settings/settings_model.h"
#include "ui/form_translation.h"
#include "ui/operator_dialogs.h"

namespace kormlink {

namespace {

constexpr int kSlotCount = 8;

// An edit that takes only the characters of pattern (backspace and tab keep working: the
// validator only sees text), at most maxLength of them.
QLineEdit* filteredEdit(QWidget* parent, const char* name, const char* pattern, int maxLength) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMaxLength(maxLength);
    edit->setValidator(
        new QRegularExpressionValidator(QRegularExpression(QString::fromLatin1(pattern)), edit));
    // Wide enough for the longest value and a little air, not more.
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QString(maxLength + 3, '0')));
    return edit;
}

}  // namespace

TOutDlg::TOutDlg(QWidget* parent) : QDialog(parent) { build(); }

TOutDlg::TOutDlg(const tFItem& filter, QWidget* parent) : QDialog(parent) {
    build();
    fill(filter);
}

void TOutDlg::build() {
    setObjectName(QStringLiteral("OutDlg"));

    // Created in reading order, which is also the tab order.
    auto* left = new QVBoxLayout;
    auto* sysForm = new QFormLayout;
    m_sysNr = filteredEdit(this, "ESysNr", "[0-9A-Fa-f]*", 2);
    sysForm->addRow(buddyLabel(this, "Label1", QStringLiteral("SysNr"), m_sysNr), m_sysNr);
    left->addLayout(sysForm);

    auto* txId = new QGroupBox(QStringLiteral("Tx ID"), this);
    txId->setObjectName(QStringLiteral("GroupBox1"));
    auto* txForm = new QFormLayout(txId);
    m_from = filteredEdit(txId, "EFrom", "[0-9]*", 5);
    txForm->addRow(buddyLabel(txId, "Label2", QStringLiteral("From"), m_from), m_from);
    m_to = filteredEdit(txId, "ETo", "[0-9]*", 5);
    txForm->addRow(buddyLabel(txId, "Label3", QStringLiteral("To"), m_to), m_to);
    left->addWidget(txId);

    m_rptOn = new QCheckBox(QStringLiteral("Repeaters On"), this);
    m_rptOn->setObjectName(QStringLiteral("RptBox"));
    left->addWidget(m_rptOn);
    left->addStretch();

    auto* slotGroup = new QGroupBox(QStringLiteral("Slot"), this);
    slotGroup->setObjectName(QStringLiteral("GroupBox2"));
    auto* slotLayout = new QVBoxLayout(slotGroup);
    m_slots = new QListWidget(slotGroup);
    m_slots->setObjectName(QStringLiteral("SlotList"));
    nameAfterCaption(*m_slots, *slotGroup);
    for (int i = 0; i < kSlotCount; ++i) {
        auto* item = new QListWidgetItem(QString::number(i), m_slots);
        item->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsSelectable);
        item->setCheckState(Qt::Unchecked);
    }
    // Exactly the eight slots, without scrolling and without empty space.
    m_slots->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    m_slots->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    const int frame = 2 * m_slots->frameWidth();
    m_slots->setFixedSize(m_slots->sizeHintForColumn(0) + frame +
                              4 * m_slots->fontMetrics().horizontalAdvance(QLatin1Char('0')),
                          m_slots->sizeHintForRow(0) * kSlotCount + frame + 2);
    slotLayout->addWidget(m_slots);

    QDialogButtonBox* buttons = makeOkCancelButtons(*this);

    auto* columns = new QHBoxLayout;
    columns->addLayout(left);
    columns->addWidget(slotGroup);
    auto* top = new QVBoxLayout(this);
    top->addLayout(columns);
    top->addWidget(buttons);
    top->setSizeConstraint(QLayout::SetMinimumSize);

    translateWindow(*this, QStringLiteral("Filter settings"));
}

void TOutDlg::fill(const tFItem& filter) {
    m_sysNr->setText(QString::fromStdString(formatSysNr(filter.SysNr)));
    m_from->setText(QString::number(filter.IdFrom));
    m_to->setText(QString::number(filter.IdTo));
    for (int i = 0; i < kSlotCount; ++i)
        m_slots->item(i)->setCheckState((filter.SlotMask >> i) & 1 ? Qt::Checked : Qt::Unchecked);
    m_rptOn->setChecked(filter.RptOn);
}

tFItem TOutDlg::filter() const {
    std::uint8_t mask = 0;
    for (int i = 0; i < kSlotCount; ++i)
        if (m_slots->item(i)->checkState() == Qt::Checked) mask |= std::uint8_t(1u << i);
    return filterFromFields(m_sysNr->text().toStdString(), m_from->text().toStdString(),
                            m_to->text().toStdString(), mask, m_rptOn->isChecked());
}

}  // namespace kormlink
