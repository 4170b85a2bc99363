#pragma once

// TFdbg ("Fdbg"): the trace window. It shows the raw texts exchanged with the one repeater named
// by the trace target, as text ("<- text", "-> text") or hexadecimal ("<- 41 42"), and can copy
// every line it shows to a text file. Tool bar toggles BHold "Hold" (drop what arrives), bHex
// "Hex" and bFile "File" (copy to the file, chosen on first use); bClose "Close" (Ctrl+W) closes
// the window. Memo1 holds the lines. In hex mode a received line that arrives while more than
// 1000 lines are shown first cuts them to the last 499.
//
// Main thread only.

#include <QWidget>

#include <functional>
#include <string>

class QLabel;
class QPlainTextEdit;
class QToolButton;

namespace kormlink {

class TFdbg final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kMaxLines = 1000;
    static constexpr int kLinesKept = 499;
    // Lines of any mode that the window holds at most; older ones scroll away, so a flood of
    // text-mode or sent lines cannot grow it without end.
    static constexpr int kMaxShownLines = 100'000;

    // closed runs when the window is destroyed (the owner sets the trace target to 0 there).
    explicit TFdbg(std::function<void()> closed, QWidget* parent = nullptr);
    ~TFdbg() override;

    void AddReceived(const std::string& text);
    void AddSent(const std::string& text);
    // Shows which repeater is traced (the tool bar, beside the toggles).
    void setTarget(std::uint32_t id);

    // The lines shown, and the trace file (empty until one is chosen); for tests.
    QStringList lines() const;
    QString traceFile() const { return m_file; }

private:
    void add(const QString& line, bool mayCut);
    void cutToLastLines();
    void copyToFile(const QString& line);
    void fileToggled(bool down);
    int lineCount() const;

    std::function<void()> m_closed;
    QToolButton* m_hold;
    QToolButton* m_hex;
    QToolButton* m_fileButton;
    QPlainTextEdit* m_memo;
    QLabel* m_target;    // the traced repeater's Id
    QLabel* m_fileName;  // the chosen file, in the tool bar
    QLabel* m_status;    // why the file cannot be written, empty while it can
    QString m_file;
};

}  // namespace kormlink
