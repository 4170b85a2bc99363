#include "core/qt_main_loop.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMetaObject>
#include <QPointer>

#include <chrono>
#include <thread>

#include "config_image/message_catalog.h"
#include "core/main_thread.h"
#include "core/main_window.h"
#include "core/server.h"
#include "platform/signals.h"

namespace kormlink {

int runDesktop(int argc, char** argv) {
    QApplication app(argc, argv);
    LoadMessages(".");
    MainThread mainThread;
    // Worker hand-overs are drained by the Qt event loop (nested loops of modal dialogs too).
    mainThread.setWaker([&mainThread] {
        QMetaObject::invokeMethod(qApp, [&mainThread] { mainThread.runPending(); },
                                  Qt::QueuedConnection);
    });

    int exitCode = 0;
    {
        TFRPTs window;
        Server server(mainThread, window);
        window.attach(server);
        server.LoadConfiguration();
        StopSignalWatcher stopSignals([&mainThread] { mainThread.post([] { QApplication::quit(); }); });
        window.show();
        exitCode = QApplication::exec();
        // Closing the window: stop everything, wait a second, sound a short tone.
        server.StopServer();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        QApplication::beep();
    }
    mainThread.setWaker(nullptr);
    mainThread.runPending();
    return exitCode;
}

}  // namespace kormlink
