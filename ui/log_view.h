#pragma once

// Read-only line logs (the command window's and the trace window's Memo1).

#include <QPlainTextEdit>
#include <QScrollBar>

namespace kormlink {

// Read-only, but the keyboard can still move through it (Ctrl+End, Page Up) and select.
inline void makeLogView(QPlainTextEdit& view) {
    view.setReadOnly(true);
    view.setTextInteractionFlags(Qt::TextSelectableByMouse | Qt::TextSelectableByKeyboard);
}

// Appends one line. A view that showed its last line keeps showing it, also when the line makes
// a horizontal scroll bar appear or lines were cut from the top; one scrolled back stays put.
inline void appendLine(QPlainTextEdit& view, const QString& line, bool wasAtEnd) {
    view.appendPlainText(line);
    if (wasAtEnd) view.verticalScrollBar()->setValue(view.verticalScrollBar()->maximum());
}

inline bool showsLastLine(const QPlainTextEdit& view) {
    const QScrollBar* bar = view.verticalScrollBar();
    return bar->value() >= bar->maximum();
}

}  // namespace kormlink
