#pragma once

// The program's own icons, drawn in code so that no image file or image plugin is needed: the
// application icon (a radio mast sending waves) and the "connected" mark of the channel list.
//
// Main thread only (QPixmap).

#include <QIcon>

namespace kormlink {

QIcon applicationIcon();
QIcon connectedIcon();

}  // namespace kormlink
