#pragma once

// Caption translation of a window from the catalog file: the section named after the window's
// object name gives the window its title (the key equal to that name) and relabels its
// components (keys equal to their object names, matched without regard to case).
//
// A component takes the caption only if it is one of these kinds, tried in this order: menu
// item (QAction), label, tool button, push button, group box, tab page (its tab's text), check
// box, or the window itself. Edits, combo boxes, list views, radio buttons and anything else
// keep their text.
//
// A window may also name texts it shows that belong to no component (the channel list's mark);
// a key equal to such a name replaces the text, unless a component has that name.
//
// Controls without a caption of their own (lists) can be named for screen readers after the
// caption that labels them; their names then follow the caption file as the captions do.
//
// Main thread only. Called once while a window is being created.

#include <QString>

#include <initializer_list>
#include <string>

class QWidget;

namespace kormlink {

// A text of the window that a key of its section replaces: the key is name.
struct WindowText {
    const char* name;
    QString* text;
};

// Translates the window and returns how many captions and texts were set. A window that ends
// up without a title (no catalog file, or no entry for it) gets builtInTitle, so no window is
// left untitled. Then every control named after a caption takes that caption's text again.
int translateWindow(QWidget& window, const QString& builtInTitle,
                    std::initializer_list<WindowText> texts = {});

// Gives field the text of caption (a label's text, a group box's title, a button's text) as
// its accessible name, now and again whenever its window is translated.
void nameAfterCaption(QWidget& field, QWidget& caption);

// A caption as it is read out: without the "&" that marks a mnemonic ("&&" is one "&").
QString plainCaption(QString caption);

// Decodes a text from the catalog file: UTF-8 when it is valid UTF-8, otherwise Latin-1.
QString catalogText(const std::string& bytes);

}  // namespace kormlink
