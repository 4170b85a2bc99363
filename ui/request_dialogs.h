#pragma once

// The small modal dialogs that ask for the repeater (and its access code) before a sequence of
// the command window: TUpdateDlg ("UpdateDlg", "Firmeware update", with the master code),
// TPrgDlg ("PrgDlg", with the installer code) and TDbgDlg ("DbgDlg", the trace target). Each has
// the editable drop-down list EId ("RPT_ID") of repeater Ids, an OK button (default) and a Cancel
// button; Enter and Escape are OK and Cancel. A dialog left without a title (the programming
// and trace dialogs have none) is named after its purpose for screen readers.
//
// Main thread only.

#include <QDialog>

#include <cstdint>
#include <optional>
#include <vector>

class QComboBox;
class QLineEdit;

namespace kormlink {

// The Id typed into an Id box: hexadecimal without prefix, the whole text (blanks around it
// allowed), 32 bits; nullopt when it does not convert, or is 0 unless allowZero.
std::optional<std::uint32_t> readHexId(const QString& text, bool allowZero = false);

class TRequestDlg : public QDialog {
    Q_OBJECT
public:
    // Fills EId's list with the Ids, each as "%x" (upper case), in that order; the edit text
    // starts empty.
    void setIds(const std::vector<std::uint32_t>& ids);
    // readHexId of EId's text.
    std::optional<std::uint32_t> acceptedId() const;
    QComboBox* idBox() const { return m_id; }

protected:
    // objectName, the built-in title (applied when the caption file gives none), the purpose
    // (the accessible name while the title is empty), and the label and name of the code field
    // (none when codeLabel is empty). Translates the captions.
    TRequestDlg(const char* objectName, const QString& title, const QString& purpose,
                const QString& codeLabel, const char* codeName, QWidget* parent);
    QString codeText() const;

private:
    QComboBox* m_id;
    QLineEdit* m_code = nullptr;
};

class TUpdateDlg final : public TRequestDlg {
    Q_OBJECT
public:
    explicit TUpdateDlg(QWidget* parent = nullptr);  // "Firmeware update", EMCode "MasterCode"
    QString masterCode() const { return codeText(); }
};

class TPrgDlg final : public TRequestDlg {
    Q_OBJECT
public:
    explicit TPrgDlg(QWidget* parent = nullptr);  // EICode "Installers code"
    QString installerCode() const { return codeText(); }
};

class TDbgDlg final : public TRequestDlg {
    Q_OBJECT
public:
    explicit TDbgDlg(QWidget* parent = nullptr);
};

}  // namespace kormlink
