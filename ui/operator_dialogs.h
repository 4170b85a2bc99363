#pragma once

// Every modal thing the desktop shows the operator (message boxes, questions, text input boxes,
// file dialogs and modal windows such as the settings dialog) goes through this one interface.
// The process-wide instance shows real Qt dialogs; tests put a scripted one in its place and
// answer without a display.
//
// Main thread only.

#include <QString>

#include <functional>
#include <optional>

class QDialog;
class QDialogButtonBox;
class QLabel;
class QWidget;

namespace kormlink {

class OperatorDialogs {
public:
    enum class Icon { Information, Warning, Critical, Question };
    enum class Buttons { OkCancel, YesNo };

    virtual ~OperatorDialogs() = default;

    // A box with one OK button; returns when the operator has closed it.
    virtual void message(QWidget* parent, const QString& caption, const QString& text,
                         Icon icon) = 0;
    // A box that does not hold up the caller (the main thread keeps serving hand-overs while it
    // is open): closed runs on the main thread once the operator has closed it.
    virtual void notify(QWidget* parent, const QString& caption, const QString& text, Icon icon,
                        std::function<void()> closed) = 0;
    // True for OK (or Yes). Enter answers OK/Yes unless defaultNo, for questions where going
    // on by accident does harm.
    virtual bool question(QWidget* parent, const QString& caption, const QString& text,
                          Buttons buttons = Buttons::OkCancel, Icon icon = Icon::Question,
                          bool defaultNo = false) = 0;
    // A one-line text input box; nullopt when cancelled.
    virtual std::optional<QString> inputText(QWidget* parent, const QString& title,
                                             const QString& prompt, const QString& initial) = 0;
    // File names; empty when cancelled. filter as QFileDialog takes it ("HEX files (*.hex)").
    virtual QString openFileName(QWidget* parent, const QString& caption,
                                 const QString& filter) = 0;
    virtual QString saveFileName(QWidget* parent, const QString& caption,
                                 const QString& filter) = 0;
    // Runs a modal dialog to its end; QDialog::Accepted or QDialog::Rejected.
    virtual int exec(QDialog& dialog) = 0;
};

// The real dialogs.
class QtOperatorDialogs final : public OperatorDialogs {
public:
    void message(QWidget* parent, const QString& caption, const QString& text,
                 Icon icon) override;
    void notify(QWidget* parent, const QString& caption, const QString& text, Icon icon,
                std::function<void()> closed) override;
    bool question(QWidget* parent, const QString& caption, const QString& text,
                  Buttons buttons, Icon icon, bool defaultNo) override;
    std::optional<QString> inputText(QWidget* parent, const QString& title,
                                     const QString& prompt, const QString& initial) override;
    QString openFileName(QWidget* parent, const QString& caption, const QString& filter) override;
    QString saveFileName(QWidget* parent, const QString& caption, const QString& filter) override;
    int exec(QDialog& dialog) override;
};

// The OK (default, Enter) and Cancel (Escape) buttons of a dialog, named OKBtn and CancelBtn, wired
// to its accept() and reject() (an override of either is the one called).
QDialogButtonBox* makeOkCancelButtons(QDialog& dialog);
// The label of a field, its buddy, so the field carries the label's text as its accessible name
// and the label's mnemonic moves the focus to it.
QLabel* buddyLabel(QWidget* parent, const char* name, const QString& caption, QWidget* field);

// The process-wide dialogs: the Qt ones unless replaced.
OperatorDialogs& operatorDialogs();
// Replaces them (tests); nullptr brings the Qt ones back. The caller keeps ownership.
void setOperatorDialogs(OperatorDialogs* dialogs);

}  // namespace kormlink
