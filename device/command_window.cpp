#include "device/command_window.h"

#include <QComboBox>
#include <QFontDatabase>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QShortcut>
#include <QToolBar>
#include <QToolButton>
#include <QVBoxLayout>

#include "config_image/message_catalog.h"
#include "core/app_icons.h"
#include "core/event_line.h"
#include "core/form_translation.h"
#include "core/operator_dialogs.h"
#include "core/server.h"
#include "device/request_dialogs.h"
#include "repeater_link/host_list.h"
#include "repeater_link/repeater_connection.h"

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

}  // namespace

TFCmd::TFCmd(Server& server, std::function<void(std::uint32_t)> startTrace, QWidget* parent)
    : QWidget(parent, Qt::Window), m_server(server), m_startTrace(std::move(startTrace)) {
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
    // The configuration editor is not part of this version yet.
    for (QToolButton* b : {prog, edit}) {
        b->setEnabled(false);
        b->setToolTip(QStringLiteral("The configuration editor is not available yet"));
    }

    m_memo = new QPlainTextEdit(this);
    m_memo->setObjectName("Memo1");
    m_memo->setReadOnly(true);
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
    connect(new QShortcut(QKeySequence(Qt::CTRL | Qt::Key_U), this), &QShortcut::activated,
            upee, &QToolButton::click);

    resize(760, 460);
    translateWindow(*this, QStringLiteral("Commands"));
}

std::vector<std::uint32_t> TFCmd::connectedIds() const {
    std::vector<std::uint32_t> ids;
    if (tHostList* list = m_server.hostList())
        for (std::size_t i = 0; i < list->size(); ++i) ids.push_back(list->at(i)->HpId.load());
    return ids;
}

RepeaterConnection* TFCmd::findConnection(std::uint32_t id, bool fromEnd) {
    if (tHostList* list = m_server.hostList()) {
        const std::size_t n = list->size();
        for (std::size_t k = 0; k < n; ++k) {
            RepeaterConnection* c = list->at(fromEnd ? n - 1 - k : k);
            if (c->HpId.load() == id) return c;
        }
    }
    ShowInCommandWindow(hexId(id) + ": No connection");
    return nullptr;
}

void TFCmd::ShowInCommandWindow(const std::string& text) {
    m_memo->appendPlainText(catalogText(text));
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
    if (RepeaterConnection* c = findConnection(*id, true))
        c->setPendingCmd(m_command->currentText().toStdString());
}

void TFCmd::updateSequence() {
    const QString warning = catalogText(message(MessageId::sOptionWarning));
    if (!operatorDialogs().question(this, QStringLiteral("Warning"), warning)) return;
    TUpdateDlg dialog(this);
    dialog.setIds(connectedIds());
    if (operatorDialogs().exec(dialog) != QDialog::Accepted) return;
    const auto id = dialog.acceptedId();
    if (!id) return;
    const QString file = operatorDialogs().openFileName(this, QStringLiteral("Firmware"), hexFiles());
    if (file.isEmpty()) return;
    if (RepeaterConnection* c = findConnection(*id, false))
        c->setPendingCmd((dialog.masterCode() + QStringLiteral("?upfirm|") + file).toStdString());
}

void TFCmd::upeeSequence() {
    const auto answer = operatorDialogs().inputText(this, QStringLiteral("Firmeware upee"),
                                                    QStringLiteral("RPT_ID:MasterCode"), QString());
    if (!answer) return;
    const qsizetype colon = answer->indexOf(QLatin1Char(':'));
    if (colon < 1) return;
    const auto id = readHexId(answer->left(colon), true);
    const QString code = answer->mid(colon + 1);
    const QString file =
        operatorDialogs().openFileName(this, QStringLiteral("Configuration"), hexFiles());
    if (!id || file.isEmpty()) return;
    if (RepeaterConnection* c = findConnection(*id, false))
        c->setPendingCmd((code + QStringLiteral(":upee|") + file).toStdString());
}

void TFCmd::dbgSequence() {
    TDbgDlg dialog(this);
    dialog.setIds(connectedIds());
    if (operatorDialogs().exec(dialog) != QDialog::Accepted) return;
    if (const auto id = dialog.acceptedId(); id && m_startTrace) m_startTrace(*id);
}

}  // namespace kormlink
