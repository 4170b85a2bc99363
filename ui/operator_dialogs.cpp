#include "ui/operator_dialogs.h"

#include <QDialog>
#include <QDialogButtonBox>
#include <QFileDialog>
#include <QInputDialog>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>

namespace kormlink {

namespace {

OperatorDialogs* g_replacement = nullptr;

QMessageBox::Icon boxIcon(OperatorDialogs::Icon icon) {
    switch (icon) {
        case OperatorDialogs::Icon::Warning: return QMessageBox::Warning;
        case OperatorDialogs::Icon::Critical: return QMessageBox::Critical;
        case OperatorDialogs::Icon::Question: return QMessageBox::Question;
        default: return QMessageBox::Information;
    }
}

}  // namespace

void QtOperatorDialogs::message(QWidget* parent, const QString& caption, const QString& text,
                                Icon icon) {
    QMessageBox box(boxIcon(icon), caption, text, QMessageBox::Ok, parent);
    box.exec();
}

void QtOperatorDialogs::notify(QWidget* parent, const QString& caption, const QString& text,
                               Icon icon, std::function<void()> closed) {
    auto* box = new QMessageBox(boxIcon(icon), caption, text, QMessageBox::Ok, parent);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (closed) QObject::connect(box, &QMessageBox::finished, box, [closed] { closed(); });
    box->open();
}

bool QtOperatorDialogs::question(QWidget* parent, const QString& caption, const QString& text,
                                 Buttons buttons, Icon icon, bool defaultNo) {
    const bool yesNo = buttons == Buttons::YesNo;
    const auto yes = yesNo ? QMessageBox::Yes : QMessageBox::Ok;
    const auto no = yesNo ? QMessageBox::No : QMessageBox::Cancel;
    QMessageBox box(boxIcon(icon), caption, text, yes | no, parent);
    box.setDefaultButton(defaultNo ? no : yes);
    box.setEscapeButton(no);
    return box.exec() == yes;
}

std::optional<QString> QtOperatorDialogs::inputText(QWidget* parent, const QString& title,
                                                    const QString& prompt,
                                                    const QString& initial) {
    bool ok = false;
    QString text = QInputDialog::getText(parent, title, prompt, QLineEdit::Normal, initial, &ok);
    if (!ok) return std::nullopt;
    return text;
}

QString QtOperatorDialogs::openFileName(QWidget* parent, const QString& caption,
                                        const QString& filter) {
    return QFileDialog::getOpenFileName(parent, caption, QString(), filter);
}

QString QtOperatorDialogs::saveFileName(QWidget* parent, const QString& caption,
                                        const QString& filter) {
    return QFileDialog::getSaveFileName(parent, caption, QString(), filter);
}

int QtOperatorDialogs::exec(QDialog& dialog) { return dialog.exec(); }

QDialogButtonBox* makeOkCancelButtons(QDialog& dialog) {
    auto* buttons = new QDialogButtonBox(&dialog);
    auto* ok = new QPushButton(QStringLiteral("OK"), buttons);
    ok->setObjectName(QStringLiteral("OKBtn"));
    ok->setDefault(true);
    auto* cancel = new QPushButton(QStringLiteral("Cancel"), buttons);
    cancel->setObjectName(QStringLiteral("CancelBtn"));
    buttons->addButton(ok, QDialogButtonBox::AcceptRole);
    buttons->addButton(cancel, QDialogButtonBox::RejectRole);
    QObject::connect(buttons, &QDialogButtonBox::accepted, &dialog, &QDialog::accept);
    QObject::connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
    return buttons;
}

QLabel* buddyLabel(QWidget* parent, const char* name, const QString& caption, QWidget* field) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QString::fromLatin1(name));
    label->setBuddy(field);
    return label;
}

OperatorDialogs& operatorDialogs() {
    static QtOperatorDialogs qtDialogs;
    return g_replacement ? *g_replacement : qtDialogs;
}

void setOperatorDialogs(OperatorDialogs* dialogs) { g_replacement = dialogs; }

}  // namespace kormlink
