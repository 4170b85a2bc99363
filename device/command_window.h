#pragma once

// TFCmd ("Commands"): the command window, opened by the main window's "Cmd" button; at most one
// exists at a time. Its controls follow in a later version; today it is an empty window that
// already carries its name, title and caption translation.
//
// Main thread only.

#include <QWidget>

namespace kormlink {

class TFCmd final : public QWidget {
    Q_OBJECT
public:
    explicit TFCmd(QWidget* parent = nullptr);
};

}  // namespace kormlink
