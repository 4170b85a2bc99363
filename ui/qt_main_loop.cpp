#include "ui/qt_main_loop.h"

#include <QApplication>
#include <QCloseEvent>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <thread>

#include "config_image/message_catalog.h"
#include "core/main_thread.h"
#include "platform/service_notify.h"
#include "platform/signals.h"
#include "platform/tone.h"
#include "server/server.h"
#include "ui/app_icons.h"
#include "ui/main_window.h"

namespace kormlink {

int runDesktop(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kormlink"));
    QApplication::setWindowIcon(applicationIcon());
    // The main window ends the program when it is closed, also from the tray; closing the last
    // visible window while the main window is in the tray must not.
    QApplication::setQuitOnLastWindowClosed(false);
    LoadMessages(".");
    MainThread mainThread;
    // Worker hand-overs are drained by the Qt event loop (nested loops of modal dialogs too).
    mainThread.setWaker([&mainThread] {
        QMetaObject::invokeMethod(qApp, [&mainThread] { mainThread.runPending(); },
                                  Qt::QueuedConnection);
    });

    // Tones of internal errors come from any thread; the system beep is sounded on this one.
    setToneHandler([](int, int) {
        QMetaObject::invokeMethod(qApp, [] { QApplication::beep(); }, Qt::QueuedConnection);
    });

    int exitCode = 0;
    {
        TFRPTs window;
        Server server(mainThread, window);
        window.attach(server);
        server.LoadConfiguration();
        // A stop signal ends the program whatever is open: exit() does not ask the windows
        // first, as quit() does (a configuration editor could refuse to close).
        StopSignalWatcher stopSignals(
            [&mainThread] { mainThread.post([] { QCoreApplication::exit(0); }); });
        // Under a service manager: ready now, status and watchdog from this thread's loop.
        ServiceNotifier notifier;
        if (notifier.enabled()) notifier.ready(server.statusSummary(), steadyClock().now());
        QTimer serviceTimer;
        if (notifier.enabled()) {
            QObject::connect(&serviceTimer, &QTimer::timeout, [&] {
                notifier.tick(server.statusSummary(), steadyClock().now());
            });
            const Millis wd = notifier.watchdogIntervalMs();
            serviceTimer.start(static_cast<int>(wd > 0 ? std::clamp<Millis>(wd / 4, 50, 1000) : 1000));
        }
        window.show();
        exitCode = QApplication::exec();
        notifier.stopping();
        // Closing the window: stop everything, wait a second, sound a short tone.
        server.StopServer();
        window.detach();
        std::this_thread::sleep_for(std::chrono::seconds(1));
        QApplication::beep();
    }
    setToneHandler(nullptr);
    mainThread.setWaker(nullptr);
    mainThread.runPending();
    return exitCode;
}

void showStartError(int argc, char** argv, const std::string& text) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Kormlink"));
    QApplication::setWindowIcon(applicationIcon());
    QMessageBox::critical(nullptr, QStringLiteral("Kormlink"), QString::fromStdString(text));
}

}  // namespace kormlink
