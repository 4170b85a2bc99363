#pragma once

// What the windows tell assistive tools and the keyboard beyond what Qt gives a widget by
// default.
//
// Main thread only.

class QKeySequence;
struct QMetaObject;
class QToolButton;
class QWidget;

namespace kormlink {

// Exposes every widget of this class as a window (role Window). A plain QWidget opened as a
// top-level window is otherwise exposed as a client area ("filler"), which assistive tools do
// not list among the windows. Called from the class's constructor; a class registered again
// changes nothing.
void exposeAsWindow(const QMetaObject& type);

// Lets the key press the button wherever the focus is in window, and names the key in the
// button's tool tip in the button's own words: "Close (Ctrl+W)". Called after the window's
// captions are translated, so the tip says the translated caption. Control keys only: a caption
// file may give a button an Alt mnemonic, which would make an Alt shortcut ambiguous and dead.
void addShortcut(QWidget& window, QToolButton& button, const QKeySequence& key);

}  // namespace kormlink
