#pragma once

// TFRPTs: the main window. A tool bar with the connection counter and the "Cmd" and
// "Settings" buttons, the list of connected repeaters, and below a splitter the list of output
// channels with their queue lengths. Both lists are redrawn from a one-second timer when the
// server model asks for it; after ten minutes without mouse movement over the lists the window
// minimises itself and stops redrawing until it is restored.
//
// Main thread only. The window owns nothing of the server; the server model must outlive it.

#include <QMainWindow>

#include "core/operator_view.h"

class QLabel;
class QToolButton;
class QTimer;
class QTreeView;

namespace kormlink {

class Server;
class ConnectionListModel;
class ChannelListModel;

class TFRPTs final : public QMainWindow, public OperatorView {
    Q_OBJECT
public:
    static constexpr int kIdleTicksBeforeHiding = 600;

    explicit TFRPTs(QWidget* parent = nullptr);
    ~TFRPTs() override;

    // Connects the window to the model it shows (before LoadConfiguration).
    void attach(Server& server);
    // The timer tick: hide after ten idle minutes, otherwise redraw what the model marked.
    void timerTick();
    int idleTicks() const { return m_idleTicks; }

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

private:
    Server* m_server = nullptr;
    QLabel* m_conCnt;
    QToolButton* m_cmd;
    QToolButton* m_options;
    QTreeView* m_connections;
    QTreeView* m_channels;
    ConnectionListModel* m_connectionModel;
    ChannelListModel* m_channelModel;
    QTimer* m_timer;
    int m_idleTicks = 0;
};

}  // namespace kormlink
