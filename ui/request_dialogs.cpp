// Object names of the request dialogs, as a caption file addresses them (sections "UpdateDlg",
// "PrgDlg" and "DbgDlg"):
//
//   Label1   "RPT_ID"            EId        editable list of the connected repeaters' Ids
//   Label2   "MasterCode"        EMCode     (UpdateDlg only)
//   Label2   "Installers code"   EICode     (PrgDlg only)
//   OKBtn    "OK"                CancelBtn  "Cancel"

#include "ui/request_dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/event_line.h"
#include "ui/form_translation.h"
#include "ui/operator_dialogs.h"

namespace kormlink {

namespace {

constexpr int kMinimumWidth = 320;

}  // namespace

// Hexadecimal digits only (QString::toUInt would also take a sign or a "0x" prefix).
std::optional<std::uint32_t> readHexId(const QString& text, bool allowZero) {
    // Leading zeros are harmless: only the value has to fit in 32 bits.
    const std::string trimmed = text.trimmed().toStdString();
    std::string_view digits = trimmed;
    while (digits.size() > 1 && digits.front() == '0') digits.remove_prefix(1);
    const auto value = parseHex(digits);
    if (!value || (*value == 0 && !allowZero)) return std::nullopt;
    return value;
}

TRequestDlg::TRequestDlg(const char* objectName, const QString& title, const QString& purpose,
                         const QString& codeLabel, const char* codeName, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QString::fromLatin1(objectName));

    auto* form = new QFormLayout;
    form->setFieldGrowthPolicy(QFormLayout::AllNonFixedFieldsGrow);
    m_id = new QComboBox(this);
    m_id->setObjectName(QStringLiteral("EId"));
    m_id->setEditable(true);
    // Enter in the list must reach the OK button rather than add the typed Id to the list.
    m_id->setInsertPolicy(QComboBox::NoInsert);
    form->addRow(buddyLabel(this, "Label1", QStringLiteral("RPT_ID"), m_id), m_id);
    if (!codeLabel.isEmpty()) {
        m_code = new QLineEdit(this);
        m_code->setObjectName(QString::fromLatin1(codeName));
        form->addRow(buddyLabel(this, "Label2", codeLabel, m_code), m_code);
    }

    QDialogButtonBox* buttons = makeOkCancelButtons(*this);

    auto* top = new QVBoxLayout(this);
    top->addLayout(form);
    top->addWidget(buttons);
    setMinimumWidth(kMinimumWidth);
    m_id->setFocus();
    translateWindow(*this, title);
    // A title, built in or from the caption file, names the dialog itself.
    if (windowTitle().isEmpty()) setAccessibleName(purpose);
}

void TRequestDlg::setIds(const std::vector<std::uint32_t>& ids) {
    m_id->clear();
    for (std::uint32_t id : ids) m_id->addItem(QString::number(id, 16).toUpper());
    m_id->setEditText(QString());
}

std::optional<std::uint32_t> TRequestDlg::acceptedId() const {
    return readHexId(m_id->currentText());
}

QString TRequestDlg::codeText() const { return m_code ? m_code->text() : QString(); }

TUpdateDlg::TUpdateDlg(QWidget* parent)
    : TRequestDlg("UpdateDlg", QStringLiteral("Firmeware update"),
                  QStringLiteral("Firmware update"), QStringLiteral("MasterCode"), "EMCode",
                  parent) {}

// The programming and trace dialogs have no caption of their own, unless the caption file
// gives one.
TPrgDlg::TPrgDlg(QWidget* parent)
    : TRequestDlg("PrgDlg", QString(), QStringLiteral("Program a repeater"),
                  QStringLiteral("Installers code"), "EICode", parent) {}

TDbgDlg::TDbgDlg(QWidget* parent)
    : TRequestDlg("DbgDlg", QString(), QStringLiteral("Trace a repeater"), QString(), "", parent) {}

}  // namespace kormlink
