#include "ui/command_window.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QTimer>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "config_image/editor_model.h"
#include "config_image/message_catalog.h"
#include "core/event_line.h"
#include "device/command_protocol.h"
#include "device/editor_adapter.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"
#include "server/server.h"
#include "ui/accessibility.h"
#include "ui/app_icons.h"
#include "ui/editor_dialog.h"
#include "ui/form_translation.h"
#include "ui/log_view.h"
#include "ui/operator_dialogs.h"
#include "ui/request_dialogs.h"

namespace kormlink {

namespace {

// An Id box whose list is filled just before it opens.
class IdBox final : public QComboBox {
public:
    IdBox(std::function<std::vector<std::uint32_t>()> ids, QWidget* parent)
        : QComboBox(parent), m_ids(std::move(ids)) {}

    void showPopup() override {
        const QString typed = currentText();
        clear();
        for (std::uint32_t id : m_ids()) addItem(QString::fromStdString(hexId(id)));
        setEditText(typed);
        QComboBox::showPopup();
    }

private:
    std::function<std::vector<std::uint32_t>()> m_ids;
};

QToolButton* makeButton(QToolBar* bar, const char* name, const char* caption,
                        bool visible = true) {
    auto* button = new QToolButton(bar);
    button->setObjectName(QString::fromLatin1(name));
    button->setText(QString::fromLatin1(caption));
    button->setToolButtonStyle(Qt::ToolButtonTextOnly);
    button->setFocusPolicy(Qt::StrongFocus);
    bar->addWidget(button)->setVisible(visible);
    return button;
}

QString hexFiles() { return QStringLiteral("Hex filles (*.hex)"); }

// A text box claims Ctrl+U for itself (it erases the line); this lets the window's shortcut
// have it instead.
class PassCtrlU final : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::ShortcutOverride) return false;
        auto* key = static_cast<QKeyEvent*>(event);
        return key->key() == Qt::Key_U && key->modifiers() == Qt::ControlModifier;
    }
};

}  // namespace

TFCmd::TFCmd(Server& server, std::function<void(std::uint32_t)> startTrace, QWidget* parent)
    : QWidget(parent, Qt::Window), m_server(server), m_startTrace(std::move(startTrace)) {
    exposeAsWindow(staticMetaObject);
    setObjectName("FCmd");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(applicationIcon());

    auto* bar = new QToolBar(this);
    bar->setObjectName("ToolBar1");
    auto* addressLabel = new QLabel(QStringLiteral("HpId"), bar);
    addressLabel->setObjectName("Label1");
    m_address = new IdBox([this] { return connectedIds(); }, bar);
    m_address->setObjectName("AdrBox");
    m_address->setEditable(true);
    m_address->setInsertPolicy(QComboBox::NoInsert);
    m_address->setMinimumContentsLength(10);
    addressLabel->setBuddy(m_address);
    auto* commandLabel = new QLabel(QStringLiteral("Cmd"), bar);
    commandLabel->setObjectName("Label2");
    m_command = new QComboBox(bar);
    m_command->setObjectName("CmdBox");
    m_command->setEditable(true);
    m_command->setInsertPolicy(QComboBox::NoInsert);  // the list is not extended
    m_command->setMinimumContentsLength(28);
    commandLabel->setBuddy(m_command);
    for (QLabel* label : {addressLabel, commandLabel}) label->setContentsMargins(6, 0, 4, 0);
    bar->addWidget(addressLabel);
    bar->addWidget(m_address);
    bar->addWidget(commandLabel);
    bar->addWidget(m_command);
    bar->addSeparator();
    QToolButton* update = makeButton(bar, "ToolButton3", "Update");
    QToolButton* prog = makeButton(bar, "ToolButton4", "Prog");
    QToolButton* edit = makeButton(bar, "ToolButton5", "Edit");
    // The upload by typed Id and code is hidden; its key (Ctrl+U) reaches it.
    QToolButton* upee = makeButton(bar, "ToolButton6", "upee", false);
    QToolButton* dbg = makeButton(bar, "ToolButton7", "DBG");
    // Closing by key, for desktops whose window manager offers none; Escape is taken (it gives
    // up a waiting programming request).
    auto* spacer = new QWidget(bar);
    spacer->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Preferred);
    bar->addWidget(spacer);
    QToolButton* closeButton = makeButton(bar, "ToolButton8", "Close");

    m_memo = new QPlainTextEdit(this);
    m_memo->setObjectName("Memo1");
    makeLogView(*m_memo);
    m_memo->setLineWrapMode(QPlainTextEdit::NoWrap);
    m_memo->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    m_memo->setFont(QFontDatabase::systemFont(QFontDatabase::FixedFont));
    m_memo->setMaximumBlockCount(kMaxMemoLines);
    m_memo->setAccessibleName(QStringLiteral("Repeater reports"));

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    layout->addWidget(bar);
    layout->addWidget(m_memo, 1);

    // The predefined commands: every value of section Commands, in file order.
    for (const auto& [key, value] : m_server.readConfig().entries("Commands"))
        m_command->addItem(QString::fromLatin1(value.c_str()));
    m_command->setEditText(QString());

    connect(m_command->lineEdit(), &QLineEdit::returnPressed, this, &TFCmd::handOver);
    connect(update, &QToolButton::clicked, this, &TFCmd::updateSequence);
    connect(upee, &QToolButton::clicked, this, &TFCmd::upeeSequence);
    connect(dbg, &QToolButton::clicked, this, &TFCmd::dbgSequence);
    connect(prog, &QToolButton::clicked, this, &TFCmd::progSequence);
    connect(edit, &QToolButton::clicked, this, &TFCmd::editSequence);
    connect(closeButton, &QToolButton::clicked, this, &TFCmd::close);
    // Escape gives up a programming request that is still waiting for its repeater.
    connect(new QShortcut(QKeySequence(Qt::Key_Escape), this), &QShortcut::activated, this,
            [this] { m_giveUp = busy(); });
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_U), this), &QShortcut::activated,
            this, &TFCmd::upeeSequence);
    auto* passCtrlU = new PassCtrlU(this);
    // An editable combo box passes the key on to its text box itself, so both get the filter.
    for (QComboBox* box : {m_address, m_command}) {
        box->installEventFilter(passCtrlU);
        box->lineEdit()->installEventFilter(passCtrlU);
    }

    resize(760, 460);
    translateWindow(*this, QStringLiteral("Commands"));
    addShortcut(*this, *closeButton, QKeySequence(Qt::CTRL | Qt::Key_W));
}

std::vector<std::uint32_t> TFCmd::connectedIds() const {
    std::vector<std::uint32_t> ids;
    if (tHostList* list = m_server.hostList())
        for (std::size_t i = 0; i < list->size(); ++i) ids.push_back(list->at(i)->HpId.load());
    return ids;
}

RepeaterConnection* TFCmd::findConnection(std::uint32_t id, bool fromEnd) {
    if (tHostList* list = m_server.hostList()) {
        const HpIdClaim claim = list->findByHpId(
            id, fromEnd ? tHostList::Search::FromLast : tHostList::Search::FromFirst);
        if (claim.connection) return claim.connection;
        if (claim.contested()) {
            ShowInCommandWindow(claim.refusal(id));
            return nullptr;
        }
    }
    ShowInCommandWindow(hexId(id) + ": No connection");
    return nullptr;
}

void TFCmd::ShowInCommandWindow(const std::string& text) {
    ++m_shownLines;
    appendLine(*m_memo, catalogText(escapeControlBytes(text)), showsLastLine(*m_memo));
}

QStringList TFCmd::lines() const {
    QStringList all = m_memo->toPlainText().split(QLatin1Char('\n'));
    if (all.size() == 1 && all.front().isEmpty()) all.clear();
    return all;
}

void TFCmd::handOver() {
    const auto id = readHexId(m_address->currentText());
    if (!id) {
        m_address->setFocus();
        return;
    }
    if (busy() && *id == m_busyId) {
        refuseWhileBusy();
        return;
    }
    if (RepeaterConnection* c = findConnection(*id, true))
        c->setPendingCmd(m_command->currentText().toStdString());
}

void TFCmd::updateSequence() {
    if (refuseWhileBusy()) return;
    SequenceScope sequence(*this);
    const QString warning = catalogText(message(MessageId::sOptionWarning));
    if (!operatorDialogs().question(this, QStringLiteral("Warning"), warning,
                                    OperatorDialogs::Buttons::OkCancel,
                                    OperatorDialogs::Icon::Warning))
        return;
    TUpdateDlg dialog(this);
    dialog.setIds(connectedIds());
    if (operatorDialogs().exec(dialog) != QDialog::Accepted) return;
    const auto id = dialog.acceptedId();
    if (!id) return;
    const QString file = operatorDialogs().openFileName(this, QStringLiteral("Firmware"), hexFiles());
    if (file.isEmpty()) return;
    m_openFile = file;
    if (RepeaterConnection* c = findConnection(*id, false))
        c->setPendingCmd((dialog.masterCode() + QStringLiteral("?upfirm|") + file).toStdString());
}

void TFCmd::upeeSequence() {
    if (refuseWhileBusy()) return;
    SequenceScope sequence(*this);
    const auto answer = operatorDialogs().inputText(this, QStringLiteral("Firmeware upee"),
                                                    QStringLiteral("RPT_ID:MasterCode"), QString());
    if (!answer) return;
    const qsizetype colon = answer->indexOf(QLatin1Char(':'));
    if (colon < 1) return;
    const auto id = readHexId(answer->left(colon), true);
    const QString code = answer->mid(colon + 1);
    const QString file =
        operatorDialogs().openFileName(this, QStringLiteral("Configuration"), hexFiles());
    if (!file.isEmpty()) m_openFile = file;
    if (!id || file.isEmpty()) return;
    if (RepeaterConnection* c = findConnection(*id, false))
        c->setPendingCmd((code + QStringLiteral(":upee|") + file).toStdString());
}

void TFCmd::dbgSequence() {
    SequenceScope sequence(*this);
    TDbgDlg dialog(this);
    dialog.setIds(connectedIds());
    if (operatorDialogs().exec(dialog) != QDialog::Accepted) return;
    if (const auto id = dialog.acceptedId(); id && m_startTrace) m_startTrace(*id);
}

bool TFCmd::refuseWhileBusy() {
    if (!busy()) return false;
    operatorDialogs().message(
        this, QStringLiteral("Commands"),
        QStringLiteral("Repeater %1 is being programmed; one editor at a time. Escape gives up "
                       "the request while it waits.")
            .arg(QString::fromStdString(hexId(m_busyId))),
        OperatorDialogs::Icon::Warning);
    return true;
}

TFCmd::SequenceScope::SequenceScope(TFCmd& w) : window(w) { ++window.m_sequences; }

TFCmd::SequenceScope::~SequenceScope() {
    if (--window.m_sequences > 0 || !window.m_closeWanted) return;
    window.m_closeWanted = false;
    window.setAttribute(Qt::WA_DeleteOnClose, true);
    if (!window.isVisible()) window.deleteLater();  // unless it was opened again meanwhile
}

void TFCmd::closeEvent(QCloseEvent* event) {
    if (m_sequences > 0) {
        // A sequence's dialogs and waits still run inside this window: it hides now (so the
        // application may quit) and goes when the sequence is over. A waiting request is given
        // up.
        m_giveUp = true;
        m_closeWanted = true;
        setAttribute(Qt::WA_DeleteOnClose, false);
    }
    QWidget::closeEvent(event);
}

bool TFCmd::stillRegistered(RepeaterConnection* connection,
                            const std::shared_ptr<Completion>& completion) const {
    if (completion->isSet()) return false;
    if (tHostList* list = m_server.hostList()) {
        for (std::size_t i = 0; i < list->size(); ++i)
            if (list->at(i) == connection && connection->completion() == completion) return true;
    }
    return false;
}

TFCmd::WaitEnd TFCmd::waitForTransfer(const tCfgImage& image, RepeaterConnection* connection,
                                      const std::string& handedOver, bool (*done)(std::uint8_t)) {
    const std::shared_ptr<Completion> completion = connection->completion();
    QElapsedTimer clock;
    clock.start();
    bool taken = false;
    std::uint64_t shown = m_shownLines;
    m_giveUp = m_closeWanted;  // a close that came before the wait still counts
    WaitEnd end = WaitEnd::GivenUp;  // also when the application quits meanwhile
    QEventLoop loop;
    QTimer poll;
    poll.setInterval(5);
    connect(&poll, &QTimer::timeout, &loop, [&] {
        WaitEnd now;
        if (done(image.TransferState.load())) {
            now = WaitEnd::Done;
        } else if (!stillRegistered(connection, completion)) {
            now = WaitEnd::ConnectionEnded;
        } else if (m_giveUp) {
            now = WaitEnd::GivenUp;
        } else {
            // The bound starts again when the connection takes the request and at every line
            // its exchange reports.
            if (!taken && connection->pendingCmd() != handedOver) {
                taken = true;
                clock.restart();
            }
            if (taken && m_shownLines != shown) {
                shown = m_shownLines;
                clock.restart();
            }
            if (clock.elapsed() < m_progWaitMs) return;
            now = WaitEnd::TimedOut;
        }
        end = now;
        loop.quit();
    });
    poll.start();
    loop.exec();
    return end;
}

void TFCmd::reportWaitEnd(WaitEnd end, std::uint32_t id, RepeaterConnection* connection,
                          const std::shared_ptr<Completion>& completion,
                          const ProgramEditor* editor) {
    if (end == WaitEnd::Done) return;
    // A request the connection has not taken yet is withdrawn; one it has taken runs to its
    // own end, and what it still reads goes to an editor nobody shows.
    const bool withdrawn =
        stillRegistered(connection, completion) && connection->withdrawPendingCmd(editor);
    const std::string who = hexId(id) + ": ";
    const std::string outcome = withdrawn ? "the programming request was withdrawn"
                                          : "the exchange under way ends by itself; its result "
                                            "is not used";
    switch (end) {
        case WaitEnd::Done:
            return;
        case WaitEnd::ConnectionEnded:
            ShowInCommandWindow(who + "the connection ended before the programming was done");
            operatorDialogs().message(this, QStringLiteral("Warning"),
                                      QString::fromStdString(who) +
                                          QStringLiteral("the connection has ended."),
                                      OperatorDialogs::Icon::Warning);
            return;
        case WaitEnd::TimedOut:
            ShowInCommandWindow(who + (withdrawn ? "no answer" : "no progress") + " within " +
                                QString::number(m_progWaitMs / 1000.0, 'g', 4).toStdString() +
                                " s; " + outcome);
            operatorDialogs().message(this, QStringLiteral("Warning"),
                                      catalogText(message(MessageId::sWaitTimeout)),
                                      OperatorDialogs::Icon::Warning);
            return;
        case WaitEnd::GivenUp:
            ShowInCommandWindow(who + "given up; " + outcome);
            return;
    }
}

void TFCmd::progSequence() {
    if (refuseWhileBusy()) return;
    SequenceScope sequence(*this);
    TPrgDlg dialog(this);
    dialog.setIds(connectedIds());
    if (operatorDialogs().exec(dialog) != QDialog::Accepted || m_closeWanted) return;
    const auto id = dialog.acceptedId();
    if (!id || !findConnection(*id, false)) return;

    // From here until the editor is gone, this is the one editor; the window refuses others.
    m_busyId = *id;
    struct Busy {
        TFCmd& window;
        ~Busy() { window.m_busyId = 0; }
    } busyScope{*this};

    TProgDlg editor(this);
    const std::shared_ptr<ConfigEditor> model = editor.sharedEditor();
    const auto program = std::make_shared<ConfigEditorAdapter>(model);
    const tCfgImage& image = model->image();
    model->image().TransferState = kTransferWaiting;
    const bool download = operatorDialogs().question(
        this, QString(), catalogText(message(MessageId::sLoadFromRpt)),
        OperatorDialogs::Buttons::YesNo);
    if (m_closeWanted) return;
    // The connection is looked up again: it may have ended while the question was open.
    RepeaterConnection* connection = findConnection(*id, false);
    if (!connection) return;
    const std::string code = dialog.installerCode().toStdString();
    std::string request = download ? "prog" + code : "prog-";
    connection->setPendingCmd(request, program);
    std::shared_ptr<Completion> completion = connection->completion();
    WaitEnd end = waitForTransfer(image, connection, request,
                                  [](std::uint8_t s) { return s != kTransferWaiting; });
    if (end != WaitEnd::Done) {
        reportWaitEnd(end, *id, connection, completion, program.get());
        return;
    }
    // A failed download has been reported by the connection.
    if (image.TransferState == kTransferFailed || m_closeWanted) return;

    if (download) {
        editor.ShowGeneral();
    } else if (!editor.loadAction()) {
        // Without a file there is nothing to program: an empty editor would send a blank
        // configuration to the repeater.
        ShowInCommandWindow(hexId(*id) + ": no file loaded; nothing was programmed");
        return;
    }
    if (operatorDialogs().exec(editor) != QDialog::Accepted || m_closeWanted) return;

    connection = findConnection(*id, false);
    if (!connection) return;
    request = code + ":upee|" + m_openFile.toStdString();
    connection->setPendingCmd(request, program);
    completion = connection->completion();
    end = waitForTransfer(image, connection, request,
                          [](std::uint8_t s) { return s > kTransferDone; });
    reportWaitEnd(end, *id, connection, completion, program.get());
}

void TFCmd::editSequence() {
    if (refuseWhileBusy()) return;
    SequenceScope sequence(*this);
    TProgDlg editor(this);
    editor.prepareOffline();
    operatorDialogs().exec(editor);
}

}  // namespace kormlink
