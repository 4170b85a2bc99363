#include "ui/main_window.h"

#include <QAbstractTableModel>
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeySequence>
#include <QLabel>
#include <QMenu>
#include <QSplitter>
#include <QStatusBar>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include <array>
#include <vector>

#include "core/event_line.h"
#include "kormlink_version.h"
#include "output/channels.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "server/server.h"
#include "ui/accessibility.h"
#include "ui/app_icons.h"
#include "ui/command_window.h"
#include "ui/form_translation.h"
#include "ui/operator_dialogs.h"
#include "ui/settings_dialog.h"
#include "ui/trace_window.h"

namespace kormlink {

// Rows of the connection registry, read when a row is drawn. A row whose entry the registry no
// longer holds (a connection ended between the count and the drawing) keeps the text it showed
// last.
class ConnectionListModel final : public QAbstractTableModel {
public:
    enum Column { Icon, HpId, Ip, MCnt, LastMessage, Nr, ColumnCount };

    void setServer(Server* server) { m_server = server; }
    void setRows(int rows) {
        beginResetModel();
        m_rows = rows;
        m_shown.resize(static_cast<std::size_t>(rows));
        endResetModel();
    }
    void redraw() {
        if (m_rows > 0) emit dataChanged(index(0, 0), index(m_rows - 1, ColumnCount - 1));
    }
    int rowCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : m_rows;
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : ColumnCount;
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        static const char* names[] = {"", "HpId", "Ip", "MCnt", "LastMessage", "Nr"};
        if (o != Qt::Horizontal || role != Qt::DisplayRole || section >= ColumnCount) return {};
        return QString::fromLatin1(names[section]);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        const auto row = static_cast<std::size_t>(index.row());
        tHostList* list = m_server ? m_server->hostList() : nullptr;
        if ((role == Qt::ToolTipRole || role == Qt::AccessibleDescriptionRole) &&
            index.column() == HpId && list && row < list->size()) {
            // Why the Id carries a mark: no command goes to it while the conflict lasts.
            const std::uint32_t id = list->at(row)->HpId.load();
            if (const auto* addresses = list->contestedBy(id))
                return QString::fromStdString(HpIdClaim{nullptr, *addresses}.refusal(id));
            return {};
        }
        if (role != Qt::DisplayRole || index.column() == Icon) return {};
        if (row >= m_shown.size()) return {};
        Row& shown = m_shown[row];
        if (list && row < list->size()) {
            const RepeaterConnection* c = list->at(row);
            // "!" after the Id: it is claimed from more than one address.
            const bool contested = list->contestedBy(c->HpId.load()) != nullptr;
            shown = {QString::fromStdString(hexId(c->HpId) + (contested ? " !" : "")),
                     QString::fromStdString(c->Ip),
                     QString::number(c->MCnt.load()), QString::fromLatin1(c->EventLine.c_str()),
                     QString::number(c->Nr)};
        }
        return shown[static_cast<std::size_t>(index.column() - 1)];
    }

private:
    using Row = std::array<QString, ColumnCount - 1>;
    Server* m_server = nullptr;
    int m_rows = 0;
    mutable std::vector<Row> m_shown;
};

// Rows of the channel list: the "connected" mark, the Id and the queue length. The mark is
// also a text, for screen readers and as the cell's tool tip, in both states.
class ChannelListModel final : public QAbstractTableModel {
public:
    enum Column { Icon, Id, Queue, ColumnCount };

    void setServer(Server* server) { m_server = server; }
    void setMarkTexts(const QString& connected, const QString& notConnected) {
        m_connected = connected;
        m_notConnected = notConnected;
    }
    void reload() {
        beginResetModel();
        endResetModel();
    }
    void redraw() {
        const int rows = rowCount();
        if (rows > 0) emit dataChanged(index(0, 0), index(rows - 1, ColumnCount - 1));
    }
    int rowCount(const QModelIndex& parent = {}) const override {
        const tOList* list = m_server ? m_server->channels() : nullptr;
        return parent.isValid() || !list ? 0 : static_cast<int>(list->size());
    }
    int columnCount(const QModelIndex& parent = {}) const override {
        return parent.isValid() ? 0 : ColumnCount;
    }
    QVariant headerData(int section, Qt::Orientation o, int role) const override {
        static const char* names[] = {"", "Id", "Queue"};
        if (o != Qt::Horizontal || role != Qt::DisplayRole || section >= ColumnCount) return {};
        return QString::fromLatin1(names[section]);
    }
    QVariant data(const QModelIndex& index, int role) const override {
        const tOList* list = m_server ? m_server->channels() : nullptr;
        if (!list || index.row() >= static_cast<int>(list->size())) return {};
        const tOItem& channel = list->at(static_cast<std::size_t>(index.row()));
        const bool connected = channel.Connected.load() != 0;
        if (index.column() == Icon) {
            if (role == Qt::DecorationRole) return connected ? connectedIcon() : QVariant();
            if (role == Qt::AccessibleTextRole || role == Qt::ToolTipRole)
                return connected ? m_connected : m_notConnected;
            return {};
        }
        if (role != Qt::DisplayRole) return {};
        switch (index.column()) {
            case Id: return QString::fromLatin1(channel.Id.c_str());
            case Queue: return static_cast<qulonglong>(channel.Queue.size());
            default: return {};
        }
    }

private:
    Server* m_server = nullptr;
    QString m_connected;
    QString m_notConnected;
};

namespace {

QTreeView* makeList(QAbstractItemModel* model, const char* name, const char* accessibleName,
                    QWidget* parent) {
    auto* view = new QTreeView(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setAccessibleName(QString::fromLatin1(accessibleName));
    view->setModel(model);
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setColumnWidth(0, 20);
    view->header()->setStretchLastSection(true);
    view->setMouseTracking(true);
    view->viewport()->setMouseTracking(true);
    return view;
}

QToolButton* makeToolButton(QToolBar* bar, const char* name, const char* caption) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(QString::fromLatin1(caption));
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setFocusPolicy(Qt::StrongFocus);
    bar->addWidget(button);
    return button;
}

}  // namespace

TFRPTs::TFRPTs(QWidget* parent)
    : QMainWindow(parent),
      m_connectionModel(new ConnectionListModel),
      m_channelModel(new ChannelListModel) {
    setObjectName("FRPTs");
    setWindowIcon(applicationIcon());

    auto* toolBar = addToolBar(QStringLiteral("ToolBar1"));
    toolBar->setObjectName("ToolBar1");
    toolBar->setMovable(false);
    toolBar->setFloatable(false);
    toolBar->toggleViewAction()->setVisible(false);
    m_conCnt = new QLabel(QStringLiteral("0"), toolBar);
    m_conCnt->setObjectName("ConCnt");
    m_conCnt->setAccessibleName(QStringLiteral("Number of connected repeaters"));
    m_conCnt->setMinimumWidth(56);
    m_conCnt->setAlignment(Qt::AlignCenter);
    m_conCnt->setStyleSheet(QStringLiteral("color: red; font-weight: bold;"));
    toolBar->addWidget(m_conCnt);
    toolBar->addSeparator();
    m_cmd = makeToolButton(toolBar, "BCmd", "Cmd");
    m_options = makeToolButton(toolBar, "bOpt", "Settings");
    connect(m_cmd, &QToolButton::clicked, this, &TFRPTs::openCommandWindow);
    connect(m_options, &QToolButton::clicked, this, &TFRPTs::openSettings);

    m_splitter = new QSplitter(Qt::Vertical, this);
    m_splitter->setObjectName("Splitter1");
    m_splitter->setChildrenCollapsible(false);
    m_connections = makeList(m_connectionModel, "ListView1", "Connected repeaters", m_splitter);
    m_connections->setColumnWidth(ConnectionListModel::HpId, 80);
    m_connections->setColumnWidth(ConnectionListModel::Ip, 120);
    m_connections->setColumnWidth(ConnectionListModel::MCnt, 70);
    const int lineWidth = m_connections->fontMetrics().horizontalAdvance(QString(76, 'W'));
    m_connections->setColumnWidth(ConnectionListModel::LastMessage, lineWidth + 12);
    m_channels = makeList(m_channelModel, "ListView2", "Output channels", m_splitter);
    m_channels->setColumnWidth(ChannelListModel::Id, 200);
    m_channels->setMinimumHeight(48);
    m_splitter->addWidget(m_connections);
    m_splitter->addWidget(m_channels);
    m_splitter->setStretchFactor(0, 1);
    m_splitter->setStretchFactor(1, 0);
    m_splitter->setSizes({480, kQueueListHeight});
    setCentralWidget(m_splitter);
    m_connections->viewport()->installEventFilter(this);
    m_channels->viewport()->installEventFilter(this);
    setTabOrder(m_cmd, m_options);
    setTabOrder(m_options, m_connections);
    setTabOrder(m_connections, m_channels);

    statusBar()->setObjectName("StatusBar1");
    m_status = new QLabel(statusBar());
    m_status->setObjectName("StatusText");
    statusBar()->addWidget(m_status, 1);

    // Captions from the catalog, then the version after the title.
    QString connected = QStringLiteral("connected");
    QString notConnected = QStringLiteral("not connected");
    translateWindow(*this, QStringLiteral("Kormlink"),
                    {{"Connected", &connected}, {"NotConnected", &notConnected}});
    m_channelModel->setMarkTexts(connected, notConnected);
    setWindowTitle(windowTitle() + QStringLiteral(" v") + QString::fromLatin1(KORMLINK_VERSION));
    addShortcut(*this, *m_cmd, QKeySequence(Qt::CTRL | Qt::Key_K));
    addShortcut(*this, *m_options, QKeySequence(Qt::CTRL | Qt::Key_Comma));

    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        m_tray = new QSystemTrayIcon(applicationIcon(), this);
        m_tray->setObjectName("TrayIcon1");
        m_tray->setToolTip(windowTitle());
        auto* menu = new QMenu(this);
        menu->setObjectName("TrayMenu");
        QAction* restore = menu->addAction(QStringLiteral("Restore"));
        restore->setObjectName("Restore1");
        QAction* quit = menu->addAction(QStringLiteral("Quit"));
        quit->setObjectName("Quit1");
        connect(restore, &QAction::triggered, this, &TFRPTs::restoreFromTray);
        connect(quit, &QAction::triggered, this, &TFRPTs::close);
        m_tray->setContextMenu(menu);
        connect(m_tray, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick)
                        restoreFromTray();
                });
        m_tray->show();
    }

    m_timer = new QTimer(this);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &TFRPTs::timerTick);
    m_timer->start();
    resize(lineWidth + 420, 600);
}

TFRPTs::~TFRPTs() {
    detach();
    m_connections->setModel(nullptr);
    m_channels->setModel(nullptr);
    delete m_connectionModel;
    delete m_channelModel;
}

void TFRPTs::attach(Server& server) {
    m_server = &server;
    m_connectionModel->setServer(&server);
    m_channelModel->setServer(&server);
}

void TFRPTs::detach() {
    // The server may be gone already: the windows that reach it no longer do.
    m_server = nullptr;
    delete m_commandWindow;
    delete m_traceWindow;
    m_connectionModel->setServer(nullptr);
    m_channelModel->setServer(nullptr);
}

bool TFRPTs::isAway() const { return m_tray ? !isVisible() : isMinimized(); }

void TFRPTs::goAway() {
    if (isAway()) return;
    if (m_tray) {
        hide();
    } else {
        showMinimized();
    }
}

void TFRPTs::restoreFromTray() {
    m_idleTicks = 0;
    showNormal();
    raise();
    activateWindow();
}

void TFRPTs::timerTick() {
    if (!m_server || !m_server->isRunning()) return;
    if (m_idleTicks >= kIdleTicksBeforeHiding) {
        goAway();
        return;
    }
    ++m_idleTicks;
    if (m_server->RefreshAll) {
        m_server->RefreshAll = false;
        m_server->QueueChanged = false;
        m_connectionModel->redraw();
        m_channelModel->redraw();
    } else if (m_server->QueueChanged) {
        m_server->QueueChanged = false;
        m_channelModel->redraw();
    }
    showStatus();
}

void TFRPTs::showStatus() {
    auto port = [](std::uint16_t p) {
        return p ? QString::number(p) : QStringLiteral("not listening");
    };
    QString text = QStringLiteral("Repeaters: port %1").arg(port(m_server->inputPort()));
    if (m_server->HasChannels)
        text += QStringLiteral("    Clients: port %1").arg(port(m_server->outputPort()));
    if (!m_server->journalsHealthy())
        text += QStringLiteral("    A queue journal cannot be written: new events are not "
                               "answered");
    if (m_status->text() != text) m_status->setText(text);
}

TFCmd* TFRPTs::commandWindow() const { return m_commandWindow; }

TFdbg* TFRPTs::traceWindow() const { return m_traceWindow; }

void TFRPTs::startTrace(std::uint32_t id) {
    if (!m_server) return;
    m_server->setTraceId(id);
    if (!m_traceWindow) {
        // Closing the trace window ends all tracing.
        m_traceWindow = new TFdbg([this] {
            if (m_server) m_server->setTraceId(0);
        });
    }
    m_traceWindow->setTarget(id);
    m_traceWindow->show();
    m_traceWindow->raise();
}

void TFRPTs::openCommandWindow() {
    if (!m_server) return;
    if (!m_commandWindow)
        m_commandWindow = new TFCmd(*m_server, [this](std::uint32_t id) { startTrace(id); });
    m_commandWindow->show();
    m_commandWindow->raise();
    m_commandWindow->activateWindow();
}

void TFRPTs::openSettings() {
    if (!m_server) return;
    runSettingsDialog(this, *m_server);
}

bool TFRPTs::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) m_idleTicks = 0;
    return QMainWindow::eventFilter(watched, event);
}

void TFRPTs::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange) {
        if (!isMinimized()) {
            m_idleTicks = 0;
        } else if (m_tray) {
            // Minimising puts the window into the tray.
            QTimer::singleShot(0, this, [this] {
                if (isMinimized()) hide();
            });
        }
    }
    QMainWindow::changeEvent(event);
}

void TFRPTs::closeEvent(QCloseEvent* event) {
    // Closing the main window ends the program, even while the command window is open; the
    // caller stops the server once the event loop has ended.
    if (m_commandWindow) m_commandWindow->close();
    if (m_traceWindow) m_traceWindow->close();
    if (m_tray) m_tray->hide();
    event->accept();
    // exit(), not quit(): the program ends even where another window would refuse to close.
    QMetaObject::invokeMethod(qApp, [] { QCoreApplication::exit(0); }, Qt::QueuedConnection);
}

void TFRPTs::ShowInCommandWindow(const std::string& text) {
    // Without a command window the line is not kept.
    if (m_commandWindow) m_commandWindow->ShowInCommandWindow(text);
}

void TFRPTs::traceText(TraceDirection direction, const std::string& text) {
    if (!m_traceWindow) return;
    if (direction == TraceDirection::Received) {
        m_traceWindow->AddReceived(text);
    } else {
        m_traceWindow->AddSent(text);
    }
}

void TFRPTs::showMessageBox(const std::string& caption, const std::string& text,
                            std::function<void()> closed) {
    // Not blocking: the main thread keeps serving the connections, and the worker that asked
    // waits for closed().
    operatorDialogs().notify(this, catalogText(caption), catalogText(text),
                             OperatorDialogs::Icon::Critical, std::move(closed));
}

void TFRPTs::connectionCountChanged(std::size_t count) {
    m_connectionModel->setRows(static_cast<int>(count));
    m_conCnt->setText(QString::number(count));
}

void TFRPTs::channelsChanged() {
    m_channelModel->reload();
    if (m_server) showStatus();
}

}  // namespace kormlink
