#include "core/main_window.h"

#include <QAbstractTableModel>
#include <QApplication>
#include <QEvent>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QMessageBox>
#include <QSplitter>
#include <QStatusBar>
#include <QStyle>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QTreeView>

#include "core/server.h"
#include "output/channels.h"
#include "kormlink_version.h"
#include "core/event_line.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"

namespace kormlink {

// Rows of the connection registry, read on demand.
class ConnectionListModel final : public QAbstractTableModel {
public:
    enum Column { Icon, HpId, Ip, MCnt, LastMessage, Nr, ColumnCount };

    void setServer(Server* server) { m_server = server; }
    void setRows(int rows) {
        beginResetModel();
        m_rows = rows;
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
        if (role != Qt::DisplayRole || !m_server) return {};
        tHostList* list = m_server->hostList();
        // A row the registry no longer holds keeps showing nothing until the next count.
        if (!list || index.row() >= static_cast<int>(list->size())) return {};
        const RepeaterConnection* c = list->at(static_cast<std::size_t>(index.row()));
        switch (index.column()) {
            case HpId: return QString::fromStdString(hexId(c->HpId));
            case Ip: return QString::fromStdString(c->Ip);
            case MCnt: return c->MCnt.load();
            case LastMessage: return QString::fromLatin1(c->EventLine.c_str());
            case Nr: return c->Nr;
            default: return {};
        }
    }

private:
    Server* m_server = nullptr;
    int m_rows = 0;
};

// Rows of the channel list.
class ChannelListModel final : public QAbstractTableModel {
public:
    enum Column { Icon, Id, Queue, ColumnCount };

    void setServer(Server* server) { m_server = server; }
    void reload() {
        beginResetModel();
        endResetModel();
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
        if (role == Qt::DecorationRole && index.column() == Icon && channel.Connected.load() != 0)
            return QApplication::style()->standardIcon(QStyle::SP_DialogApplyButton);
        if (role != Qt::DisplayRole) return {};
        switch (index.column()) {
            case Id: return QString::fromLatin1(channel.Id.c_str());
            case Queue: return static_cast<qulonglong>(channel.Queue.size());
            default: return {};
        }
    }

private:
    Server* m_server = nullptr;
};

namespace {

QTreeView* makeList(QAbstractItemModel* model, const char* name, QWidget* parent) {
    auto* view = new QTreeView(parent);
    view->setObjectName(QString::fromLatin1(name));
    view->setModel(model);
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    view->setColumnWidth(0, 20);
    view->header()->setStretchLastSection(false);
    view->setMouseTracking(true);
    view->viewport()->setMouseTracking(true);
    return view;
}

}  // namespace

TFRPTs::TFRPTs(QWidget* parent)
    : QMainWindow(parent),
      m_connectionModel(new ConnectionListModel),
      m_channelModel(new ChannelListModel) {
    setObjectName("FRPTs");
    setWindowTitle(QStringLiteral("Kormlink v") + QString::fromLatin1(KORMLINK_VERSION));

    auto* toolBar = addToolBar(QStringLiteral("ToolBar1"));
    toolBar->setObjectName("ToolBar1");
    toolBar->setMovable(false);
    m_conCnt = new QLabel(QStringLiteral("0"), toolBar);
    m_conCnt->setObjectName("ConCnt");
    m_conCnt->setMinimumWidth(48);
    m_conCnt->setAlignment(Qt::AlignCenter);
    m_conCnt->setStyleSheet(QStringLiteral("color: red; font-weight: bold;"));
    toolBar->addWidget(m_conCnt);
    m_cmd = new QToolButton(toolBar);
    m_cmd->setObjectName("BCmd");
    m_cmd->setText(QStringLiteral("Cmd"));
    m_cmd->setEnabled(false);  // the command window is not part of this version yet
    toolBar->addWidget(m_cmd);
    m_options = new QToolButton(toolBar);
    m_options->setObjectName("bOpt");
    m_options->setText(QStringLiteral("Settings"));
    m_options->setEnabled(false);  // nor is the settings dialog
    toolBar->addWidget(m_options);

    auto* splitter = new QSplitter(Qt::Vertical, this);
    splitter->setObjectName("Splitter1");
    m_connections = makeList(m_connectionModel, "ListView1", splitter);
    m_connections->setColumnWidth(ConnectionListModel::HpId, 80);
    m_connections->setColumnWidth(ConnectionListModel::Ip, 120);
    m_connections->setColumnWidth(ConnectionListModel::MCnt, 70);
    m_connections->setColumnWidth(ConnectionListModel::LastMessage, 560);
    m_channels = makeList(m_channelModel, "ListView2", splitter);
    m_channels->setColumnWidth(ChannelListModel::Id, 160);
    splitter->addWidget(m_connections);
    splitter->addWidget(m_channels);
    splitter->setStretchFactor(0, 1);
    splitter->setStretchFactor(1, 0);
    splitter->setSizes({400, 75});
    setCentralWidget(splitter);
    m_connections->viewport()->installEventFilter(this);
    m_channels->viewport()->installEventFilter(this);
    statusBar()->setObjectName("StatusBar1");

    m_timer = new QTimer(this);
    m_timer->setInterval(1000);
    connect(m_timer, &QTimer::timeout, this, &TFRPTs::timerTick);
    m_timer->start();
    resize(960, 560);
}

TFRPTs::~TFRPTs() {
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

void TFRPTs::timerTick() {
    if (!m_server || !m_server->isRunning()) return;
    if (m_idleTicks >= kIdleTicksBeforeHiding) {
        showMinimized();
        return;
    }
    ++m_idleTicks;
    if (m_server->RefreshAll) {
        m_server->RefreshAll = false;
        m_server->QueueChanged = false;
        m_connectionModel->redraw();
        m_channelModel->reload();
    } else if (m_server->QueueChanged) {
        m_server->QueueChanged = false;
        m_channelModel->reload();
    }
}

bool TFRPTs::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::MouseMove) m_idleTicks = 0;
    return QMainWindow::eventFilter(watched, event);
}

void TFRPTs::changeEvent(QEvent* event) {
    if (event->type() == QEvent::WindowStateChange && !isMinimized()) m_idleTicks = 0;
    QMainWindow::changeEvent(event);
}

void TFRPTs::ShowInCommandWindow(const std::string&) {
    // No command window in this version: its lines are not kept.
}

void TFRPTs::traceText(TraceDirection, const std::string&) {}

void TFRPTs::showMessageBox(const std::string& caption, const std::string& text,
                            std::function<void()> closed) {
    // Window-modal but not blocking: the main thread keeps serving the connections, and the
    // worker that asked waits for closed().
    auto* box = new QMessageBox(QMessageBox::Critical, QString::fromStdString(caption),
                                QString::fromStdString(text), QMessageBox::Ok, this);
    box->setAttribute(Qt::WA_DeleteOnClose);
    if (closed) connect(box, &QMessageBox::finished, this, [closed] { closed(); });
    box->open();
}

void TFRPTs::connectionCountChanged(std::size_t count) {
    m_connectionModel->setRows(static_cast<int>(count));
    m_conCnt->setText(QString::number(count));
}

void TFRPTs::channelsChanged() { m_channelModel->reload(); }

}  // namespace kormlink
