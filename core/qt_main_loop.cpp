#include "core/qt_main_loop.h"

#include <QApplication>

namespace kormlink {

int runDesktop(int argc, char** argv) {
    QApplication app(argc, argv);
    return 0;
}

}  // namespace kormlink
