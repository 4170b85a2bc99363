// Object names of the request dialogs, as a caption file addresses them (sections "UpdateDlg",
// "PrgDlg" and "DbgDlg"):
//
//   Label1   "RPT_ID"            EId        editable list of the connected repeaters' Ids
//   Label2   "MasterCode"        EMCode     (UpdateDlg only)
//   Label2   "Installers code"   EICode     (PrgDlg only)
//   OKBtn    "OK"                CancelBtn  "Cancel"

#include "device/request_dialogs.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "core/form_translation.h"
#include "core/operator_dialogs.h"

namespace kormlink {

namespace {

constexpr int kMinimumWidth = 320;

int hexDigit(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9') return u - '0';
    if (u >= 'a' && u <= 'f') return u - 'a' + 10;
    if (u >= 'A' && u <= 'F') return u - 'A' + 10;
    return -1;
}

}  // namespace

// Digits only: QString::toUInt would also take a sign or a "0x" prefix, which an Id box must
// refuse. Leading zeros are harmless, so the width is checked on the value, not the length.
std::optional<std::uint32_t> readHexId(const QString& text, bool allowZero) {
    const QString digits = text.trimmed();
    if (digits.isEmpty()) return std::nullopt;
    std::uint64_t value = 0;
    for (QChar c : digits) {
        const int d = hexDigit(c);
        if (d < 0) return std::nullopt;
        value = value * 16 + std::uint64_t(d);
        if (value > 0xFFFFFFFFu) return std::nullopt;
    }
    if (value == 0 && !allowZero) return std::nullopt;
    return std::uint32_t(value);
}

TRequestDlg::TRequestDlg(const char* objectName, const QString& title, const QString& codeLabel,
                         const char* codeName, QWidget* parent)
    : QDialog(parent) {
    setObjectName(QString::fromLatin1(objectName));
    setWindowTitle(title);

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
    : TRequestDlg("UpdateDlg", QStringLiteral("Firmeware update"), QStringLiteral("MasterCode"),
                  "EMCode", parent) {
    translateWindow(*this, QStringLiteral("Firmeware update"));
}

// The programming and trace dialogs have no caption of their own; the built-in title only
// applies when the caption file gives none.
TPrgDlg::TPrgDlg(QWidget* parent)
    : TRequestDlg("PrgDlg", QString(), QStringLiteral("Installers code"), "EICode", parent) {
    translateWindow(*this, QStringLiteral("Programming"));
}

TDbgDlg::TDbgDlg(QWidget* parent) : TRequestDlg("DbgDlg", QString(), QString(), "", parent) {
    translateWindow(*this, QStringLiteral("Trace"));
}

}  // namespace kormlink
