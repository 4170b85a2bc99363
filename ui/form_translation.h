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
// Main thread only. Called once while a window is being created.

#include <QString>

#include <string>

class QWidget;

namespace kormlink {

// Translates the window and returns how many captions were set. A window that ends up without a
// title (no catalog file, or no entry for it) gets builtInTitle, so no window is left untitled.
int translateWindow(QWidget& window, const QString& builtInTitle);

// Decodes a text from the catalog file: UTF-8 when it is valid UTF-8, otherwise Latin-1.
QString catalogText(const std::string& bytes);

}  // namespace kormlink
