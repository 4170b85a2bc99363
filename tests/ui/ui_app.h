#pragma once

// The QApplication a UI test needs, made before anything that uses it and gone after.

#include <QApplication>

namespace kormlink::test {

struct UiApp {
    int argc = 1;
    char name[9] = "ui_tests";
    char* argv[2] = {name, nullptr};
    QApplication app{argc, argv};
};

}  // namespace kormlink::test
