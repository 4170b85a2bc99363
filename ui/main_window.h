#pragma once

// TFRPTs: the main window. A tool bar with the connection counter and the "Cmd" and
// "Settings" buttons, the list of connected repeaters, and below a splitter the list of output
// channels with their queue lengths, then a status bar. Both lists are virtual: their models
// read the registry and the channel list when a row is drawn, and are redrawn from a one-second
// timer when the server model asks for it. After ten minutes without mouse movement over the
// lists the window goes to the tray (where the desktop has none, it minimises) and stops
// redrawing until it is restored.
//
// Main thread only. The window owns nothing of the server; the server model must outlive it.

#include <QMainWindow>
#include <QPointer>

#include "core/operator_view.h"

class QLabel;
class QSplitter;
class QSystemTrayIcon;
class QToolButton;
class QTimer;
class QTreeView;

namespace kormlink {

class Server;
class ConnectionListModel;
class ChannelListModel;
class TFCmd;
class TFdbg;

class TFRPTs final : public QMainWindow, public OperatorView {
    Q_OBJECT
public:
    static constexpr int kIdleTicksBeforeHiding = 600;
    static constexpr int kQueueListHeight = 75;

    // Translates the captions from the catalog (loaded before), then appends " v" and the
    // version to the title, which is also the tray icon's hint.
    explicit TFRPTs(QWidget* parent = nullptr);
    ~TFRPTs() override;

    // Connects the window to the model it shows (before LoadConfiguration), and parts them
    // again (after StopServer, before the server goes).
    void attach(Server& server);
    void detach();
    // The timer tick: go to the tray after ten idle minutes, otherwise redraw what the model
    // marked.
    void timerTick();
    int idleTicks() const { return m_idleTicks; }
    // Whether the window is in the tray (or minimised where there is no tray).
    bool isAway() const;
    // Brings the window back from the tray; the idle count starts again.
    void restoreFromTray();
    // The "Cmd" and "Settings" buttons.
    void openCommandWindow();
    void openSettings();
    TFCmd* commandWindow() const;
    // Traces the repeater in the trace window, opened when none is; one at a time.
    void startTrace(std::uint32_t id);
    TFdbg* traceWindow() const;

    // OperatorView.
    void ShowInCommandWindow(const std::string& text) override;
    void traceText(TraceDirection direction, const std::string& text) override;
    void showMessageBox(const std::string& caption, const std::string& text,
                        std::function<void()> closed) override;
    void connectionCountChanged(std::size_t count) override;
    void channelsChanged() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void goAway();
    void showStatus();

    Server* m_server = nullptr;
    QLabel* m_conCnt;
    QToolButton* m_cmd;
    QToolButton* m_options;
    QSplitter* m_splitter;
    QTreeView* m_connections;
    QTreeView* m_channels;
    QLabel* m_status;
    ConnectionListModel* m_connectionModel;
    ChannelListModel* m_channelModel;
    QTimer* m_timer;
    QSystemTrayIcon* m_tray = nullptr;  // nullptr where the desktop has no tray
    QPointer<TFCmd> m_commandWindow;
    QPointer<TFdbg> m_traceWindow;
    int m_idleTicks = 0;
};

}  // namespace kormlink
