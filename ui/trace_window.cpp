// Object names of the trace window, as a caption file addresses them (section "Fdbg"):
//
//   Fdbg    the window ("Fdbg")
//   BHold   "Hold"    drop what arrives while down
//   bHex    "Hex"     show the bytes in hexadecimal
//   bFile   "File"    copy every shown line to the trace file
//   bClose  "Close"   close the window (Ctrl+W), which ends the tracing
//   Memo1   the lines
//
// The texts arrive as raw bytes and are shown as Latin-1, so every byte keeps one character and
// the file gets back exactly the bytes that were shown.

#include "ui/trace_window.h"

#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QKeySequence>
#include <QLabel>
#include <QPlainTextEdit>
#include <QTextBlock>
#include <QTextCursor>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "core/event_line.h"
#include "ui/accessibility.h"
#include "ui/form_translation.h"
#include "ui/log_view.h"
#include "ui/operator_dialogs.h"

namespace kormlink {

namespace {

QToolButton* toggle(QToolBar* bar, const char* name, const QString& caption) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(caption);
    button->setCheckable(true);
    bar->addWidget(button);
    return button;
}

QString hexLine(const char* prefix, const std::string& bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    QString line = QString::fromLatin1(prefix);
    line.reserve(line.size() + 3 * qsizetype(bytes.size()));
    for (unsigned char b : bytes) {
        line += QLatin1Char(' ');
        line += QLatin1Char(kDigits[b >> 4]);
        line += QLatin1Char(kDigits[b & 0x0F]);
    }
    return line;
}

// The connections hand over a line with its line end; in text mode the memo's own line break
// takes its place, and control bytes within the line are shown escaped (\x1B), in the window
// and in the trace file alike. The hex mode shows every byte as it came.
QString textLine(const char* prefix, const std::string& bytes) {
    std::string_view text(bytes);
    if (text.ends_with("\r\n"))
        text.remove_suffix(2);
    else if (text.ends_with('\n'))
        text.remove_suffix(1);
    const std::string shown = escapeControlBytes(text);
    return QString::fromLatin1(prefix) + QString::fromLatin1(shown.data(), qsizetype(shown.size()));
}

}  // namespace

TFdbg::TFdbg(std::function<void()> closed, QWidget* parent)
    : QWidget(parent, Qt::Window), m_closed(std::move(closed)) {
    exposeAsWindow(staticMetaObject);
    setObjectName(QStringLiteral("Fdbg"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* bar = new QToolBar(this);
    bar->setObjectName(QStringLiteral("ToolBar1"));
    bar->setToolButtonStyle(Qt::ToolButtonTextOnly);
    m_hold = toggle(bar, "BHold", QStringLiteral("Hold"));
    m_hex = toggle(bar, "bHex", QStringLiteral("Hex"));
    m_fileButton = toggle(bar, "bFile", QStringLiteral("File"));
    bar->addSeparator();
    m_target = new QLabel(bar);
    m_target->setObjectName(QStringLiteral("TraceTarget"));
    m_target->setContentsMargins(4, 0, 8, 0);
    bar->addWidget(m_target);
    m_fileName = new QLabel(bar);
    m_fileName->setObjectName(QStringLiteral("FileName"));
    m_fileName->setTextInteractionFlags(Qt::TextSelectableByMouse);
    bar->addWidget(m_fileName);
    m_status = new QLabel(bar);
    m_status->setObjectName(QStringLiteral("FileStatus"));
    m_status->setStyleSheet(QStringLiteral("color: #b00000; padding-left: 8px"));
    bar->addWidget(m_status);
    // Closing by key, for desktops whose window manager offers none; the same key as the
    // command window's.
    auto* spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    auto* closeButton = new QToolButton(bar);
    closeButton->setObjectName(QStringLiteral("bClose"));
    closeButton->setText(QStringLiteral("Close"));
    bar->addWidget(closeButton);

    m_memo = new QPlainTextEdit(this);
    m_memo->setObjectName(QStringLiteral("Memo1"));
    m_memo->setMaximumBlockCount(kMaxShownLines);
    makeLogView(*m_memo);
    m_memo->setUndoRedoEnabled(false);
    m_memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_memo->setAccessibleName(QStringLiteral("Repeater traffic"));

    auto* top = new QVBoxLayout(this);
    top->setContentsMargins(0, 0, 0, 0);
    top->setSpacing(0);
    top->addWidget(bar);
    top->addWidget(m_memo);
    resize(640, 420);

    connect(m_fileButton, &QToolButton::toggled, this, &TFdbg::fileToggled);
    connect(closeButton, &QToolButton::clicked, this, &TFdbg::close);
    translateWindow(*this, QStringLiteral("Fdbg"));
    addShortcut(*this, *closeButton, QKeySequence(Qt::CTRL | Qt::Key_W));
}

TFdbg::~TFdbg() {
    if (m_closed) m_closed();
}

void TFdbg::AddReceived(const std::string& text) {
    if (m_hold->isChecked()) return;
    if (m_hex->isChecked())
        add(hexLine("<-", text), true);
    else
        add(textLine("<- ", text), false);
}

void TFdbg::AddSent(const std::string& text) {
    if (m_hold->isChecked()) return;
    add(m_hex->isChecked() ? hexLine("->", text) : textLine("-> ", text), false);
}

QStringList TFdbg::lines() const {
    QStringList result;
    result.reserve(lineCount());
    if (lineCount() == 0) return result;
    for (QTextBlock b = m_memo->document()->begin(); b.isValid(); b = b.next()) result << b.text();
    return result;
}

// An empty document still has one (empty) block; every shown line has at least its prefix.
int TFdbg::lineCount() const {
    return m_memo->document()->isEmpty() ? 0 : m_memo->document()->blockCount();
}

void TFdbg::add(const QString& line, bool mayCut) {
    const bool atEnd = showsLastLine(*m_memo);
    if (mayCut && lineCount() > kMaxLines) cutToLastLines();
    appendLine(*m_memo, line, atEnd);
    if (m_fileButton->isChecked()) copyToFile(line);
}

// One selection from the top to the first kept line, so the document is edited once however
// many lines go.
void TFdbg::setTarget(std::uint32_t id) {
    m_target->setText(QString::fromStdString(hexId(id)));
    m_target->setToolTip(QStringLiteral("The traced repeater"));
}

void TFdbg::cutToLastLines() {
    const int drop = lineCount() - kLinesKept;
    QTextCursor cursor(m_memo->document());
    cursor.movePosition(QTextCursor::Start);
    cursor.movePosition(QTextCursor::NextBlock, QTextCursor::KeepAnchor, drop);
    cursor.removeSelectedText();
}

// Opened and closed per line, so the file is complete whenever the window is closed or the
// program ends. A file that cannot be written loses the line; the reason stays in the tool bar
// until a write succeeds again, rather than a box per line in a flood.
void TFdbg::copyToFile(const QString& line) {
    if (m_file.isEmpty()) return;
    QFile file(m_file);
    bool written = file.open(QIODevice::WriteOnly | QIODevice::Append);
    if (written) {
        const QByteArray bytes = line.toLatin1() + '\n';
        written = file.write(bytes) == bytes.size();
    }
    const QString status =
        written ? QString() : QStringLiteral("Not written: %1").arg(file.errorString());
    if (m_status->text() != status) m_status->setText(status);
}

// A file is asked for the first time the copy is switched on and kept for the life of the
// window. While the dialog is open the display is held, so nothing arrives half-copied; with no
// file chosen the copy stays off.
void TFdbg::fileToggled(bool down) {
    if (!down || !m_file.isEmpty()) return;
    const bool wasHeld = m_hold->isChecked();
    m_hold->setChecked(true);
    QString name = operatorDialogs().saveFileName(this, QStringLiteral("Trace file"),
                                                  QStringLiteral("Text files (*.txt)"));
    if (name.isEmpty()) {
        m_hold->setChecked(false);
        m_fileButton->setChecked(false);
        return;
    }
    if (QFileInfo(name).suffix().isEmpty()) name += QStringLiteral(".txt");
    m_file = name;
    m_fileName->setText(QFileInfo(name).fileName());
    m_fileName->setToolTip(QFileInfo(name).absoluteFilePath());
    m_hold->setChecked(wasHeld);
}

}  // namespace kormlink
