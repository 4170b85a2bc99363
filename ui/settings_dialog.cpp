// Object names of the settings dialog, as a caption file addresses them (section "DSettings").
// Labels carry the captions of the fields they name; every label is the buddy of its field.
// The lists are named for screen readers after the groups that hold them.
//
//   DSettings     the window ("Settings")
//   GroupBox1     "Output", holding PageControl1 (the page control) with its pages
//     TabSheet1   "TcpIp"
//       Label1    "Port"                EPort      output TCP port
//       Label2    "Sync time (hh:mm)"   TOSyncEd   output time-sync period
//       GroupBox2 "Chanels"             ChBox      client channel Ids
//                                       Button1 "Add", Button2 "Remove"
//       Label3    "Size of queue"       EQSiz      queue size of the selected channel
//       GroupBox3 "Filters"             ListView3  filters of the selected channel
//                                       Button3 "Add", Button4 "Remove", Button5 "Edit"
//     TabSheet2   "Com"
//       Label4    "Port"                PortBox
//       Label5    "&Baud Rate"          BaudBox
//       Label6    "&Data Bits"          DataBox
//       Label7    "&Parity"             ParityBox
//       Label8    "&Stop bits"          StopBox
//       Label9    "&Flow control"       FlowBox
//                 ComOnB "Com enabled"
//       Label10   "Size of queue"       EComQSiz   queue size of the serial channel
//       GroupBox4 "Filters"             ListView2  filters of the serial channel
//                                       Button6 "Add", Button7 "Remove", Button8 "Edit"
//   GroupBox5     "Input"
//       Label11   "Port"                EIPort     input TCP port
//       Label12   "TestTime (min)"      eTTim      test time
//       Label13   "Sync time (hh:mm)"   TSyncEd    repeater time-sync period
//   GroupBox6     "Com In"
//       Label14..Label19, captions as Label4..Label9:
//                 PortBoxI, BaudBoxI, DataBoxI, ParityBoxI, StopBoxI, FlowBoxI
//   OKBtn "OK", CancelBtn "Cancel"

#include "ui/settings_dialog.h"

#include <algorithm>
#include <functional>

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpressionValidator>
#include <QTabWidget>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "platform/ini.h"
#include "server/apply_settings.h"
#include "server/server.h"
#include "ui/filter_dialog.h"
#include "ui/form_translation.h"
#include "ui/operator_dialogs.h"

namespace kormlink {

namespace {

constexpr int kFilterColumns = 5;

// A filter view that hands the Delete key to its owner.
class FilterView final : public QTreeWidget {
public:
    using QTreeWidget::QTreeWidget;
    std::function<void()> onDelete;
    std::function<void()> onEdit;

protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (event->key() == Qt::Key_Delete && event->modifiers() == Qt::NoModifier && onDelete) {
            onDelete();
            return;
        }
        // Enter on a filter row edits it, rather than closing the whole dialog with OK.
        const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
        if (enter && event->modifiers() == Qt::NoModifier && onEdit && currentItem()) {
            onEdit();
            return;
        }
        QTreeWidget::keyPressEvent(event);
    }
};

QString text(const std::string& s) { return QString::fromStdString(s); }
std::string text(const QString& s) { return s.toStdString(); }

QLabel* buddyLabel(QWidget* parent, int number, const QString& caption, QWidget* field) {
    auto* label = new QLabel(caption, parent);
    label->setObjectName(QStringLiteral("Label%1").arg(number));
    label->setBuddy(field);
    return label;
}

QLineEdit* makeEdit(QWidget* parent, const char* name, int minChars) {
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(QString::fromLatin1(name));
    edit->setMinimumWidth(edit->fontMetrics().horizontalAdvance(QString(minChars + 2, '0')));
    return edit;
}

// A number edit: the keys take digits only.
QLineEdit* makeNumberEdit(QWidget* parent, const char* name, int maxDigits) {
    QLineEdit* edit = makeEdit(parent, name, maxDigits);
    edit->setMaxLength(maxDigits);
    edit->setValidator(new QRegularExpressionValidator(QRegularExpression("[0-9]*"), edit));
    return edit;
}

QLineEdit* makeTimeEdit(QWidget* parent, const char* name) {
    QLineEdit* edit = makeEdit(parent, name, 5);
    edit->setInputMask(QStringLiteral("90:00;_"));
    return edit;
}

QPushButton* makeButton(QWidget* parent, const char* name, const QString& caption) {
    auto* button = new QPushButton(caption, parent);
    button->setObjectName(QString::fromLatin1(name));
    return button;
}

QGroupBox* makeGroup(QWidget* parent, const char* name, const QString& title) {
    auto* group = new QGroupBox(title, parent);
    group->setObjectName(QString::fromLatin1(name));
    return group;
}

template <std::size_t N>
void addEntries(QComboBox* box, const std::array<const char*, N>& entries) {
    for (const char* e : entries) box->addItem(QString::fromLatin1(e));
}

void setRow(QTreeWidgetItem* item, const tFItem& filter) {
    const std::array<std::string, 5> columns = filterRow(filter);
    for (int c = 0; c < kFilterColumns; ++c) item->setText(c, text(columns[c]));
}

// Row i shows filter i.
void showFilters(QTreeWidget* view, const tFList* filters) {
    view->clear();
    if (!filters) return;
    for (const tFItem& f : *filters) setRow(new QTreeWidgetItem(view), f);
}

int currentRow(QTreeWidget* view) {
    QTreeWidgetItem* item = view->currentItem();
    return item ? view->indexOfTopLevelItem(item) : -1;
}

// Columns wide enough for their titles and their widest values, and a view that shows all five.
void sizeFilterColumns(QTreeWidget* view) {
    static const char* samples[kFilterColumns] = {"FF", "65535", "65535", "00000000", "Off"};
    const QFontMetrics fm = view->fontMetrics();
    const int pad = 2 * fm.horizontalAdvance(QLatin1Char('0')) + 12;
    int total = 0;
    for (int c = 0; c < kFilterColumns; ++c) {
        const int w = std::max(fm.horizontalAdvance(view->headerItem()->text(c)),
                               fm.horizontalAdvance(QString::fromLatin1(samples[c]))) +
                      pad;
        view->setColumnWidth(c, w);
        total += w;
    }
    view->setMinimumWidth(total + 2 * view->frameWidth() + 20);
    view->setMinimumHeight(fm.height() * 8);
}

}  // namespace

TDSettings::TDSettings(SettingsForm form, QWidget* parent)
    : QDialog(parent), m_form(std::move(form)) {
    setObjectName(QStringLiteral("DSettings"));

    // Everything is created in reading order, which is also the tab order.
    auto* output = makeGroup(this, "GroupBox1", QStringLiteral("Output"));
    m_pages = new QTabWidget(output);
    m_pages->setObjectName(QStringLiteral("PageControl1"));
    m_pages->addTab(buildTcpIpPage(), QStringLiteral("TcpIp"));
    m_pages->addTab(buildComPage(), QStringLiteral("Com"));
    (new QVBoxLayout(output))->addWidget(m_pages);

    QWidget* input = buildInputGroup();
    QWidget* comIn = buildComInGroup();

    QDialogButtonBox* buttons = makeOkCancelButtons(*this);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(input, 2);
    bottom->addWidget(comIn, 3);
    auto* top = new QVBoxLayout(this);
    top->addWidget(output, 1);
    top->addLayout(bottom);
    top->addWidget(buttons);

    showForm();

    connect(m_channelBox, &QListWidget::currentRowChanged, this, &TDSettings::showChannel);
    connect(m_queueSize, &QLineEdit::editingFinished, this, &TDSettings::storeQueueSize);
    connect(m_addChannel, &QPushButton::clicked, this, &TDSettings::addChannel);
    connect(m_removeChannel, &QPushButton::clicked, this, &TDSettings::removeChannel);
    const auto wire = [this](const FilterControls& c, std::function<tFList*()> filters) {
        connect(c.add, &QPushButton::clicked, this, [=, this] { addFilter(c, filters()); });
        connect(c.edit, &QPushButton::clicked, this, [=, this] { editFilter(c, filters()); });
        connect(c.view, &QTreeWidget::itemDoubleClicked, this,
                [=, this] { editFilter(c, filters()); });
        connect(c.remove, &QPushButton::clicked, this, [=, this] { removeFilter(c, filters()); });
        static_cast<FilterView*>(c.view)->onDelete = [=, this] { removeFilter(c, filters()); };
        static_cast<FilterView*>(c.view)->onEdit = [=, this] { editFilter(c, filters()); };
        connect(c.view, &QTreeWidget::currentItemChanged, this, &TDSettings::updateEnabled);
    };
    wire(m_clientFilters, [this] { return clientFilters(); });
    wire(m_serialFilters, [this] { return &m_form.serial.Filters; });
    connect(m_pages, &QTabWidget::currentChanged, this,
            [this] { showFilters(m_serialFilters.view, &m_form.serial.Filters); });

    updateEnabled();
    translateWindow(*this, QStringLiteral("Settings"));
}

QWidget* TDSettings::buildTcpIpPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet1"));

    auto* fields = new QFormLayout;
    m_outPort = makeNumberEdit(page, "EPort", 5);
    fields->addRow(buddyLabel(page, 1, QStringLiteral("Port"), m_outPort), m_outPort);
    m_outSync = makeTimeEdit(page, "TOSyncEd");
    fields->addRow(buddyLabel(page, 2, QStringLiteral("Sync time (hh:mm)"), m_outSync), m_outSync);

    QGroupBox* channels = makeGroup(page, "GroupBox2", QStringLiteral("Chanels"));
    auto* grid = new QGridLayout(channels);
    m_channelBox = new QListWidget(channels);
    m_channelBox->setObjectName(QStringLiteral("ChBox"));
    nameAfterCaption(*m_channelBox, *channels);
    m_addChannel = makeButton(channels, "Button1", QStringLiteral("Add"));
    m_removeChannel = makeButton(channels, "Button2", QStringLiteral("Remove"));
    m_queueSize = makeNumberEdit(channels, "EQSiz", 9);
    auto* sizeRow = new QFormLayout;
    sizeRow->addRow(buddyLabel(channels, 3, QStringLiteral("Size of queue"), m_queueSize),
                    m_queueSize);
    grid->addWidget(m_channelBox, 0, 0, 3, 1);
    grid->addWidget(m_addChannel, 0, 1);
    grid->addWidget(m_removeChannel, 1, 1);
    grid->setRowStretch(2, 1);
    grid->addLayout(sizeRow, 3, 0, 1, 2);

    QWidget* filters = buildFilterGroup("GroupBox3", "ListView3", {"Button3", "Button4", "Button5"},
                                        &m_clientFilters, page);

    auto* left = new QVBoxLayout;
    left->addLayout(fields);
    left->addWidget(channels, 1);
    auto* layout = new QHBoxLayout(page);
    layout->addLayout(left, 2);
    layout->addWidget(filters, 3);
    return page;
}

QWidget* TDSettings::buildComPage() {
    auto* page = new QWidget;
    page->setObjectName(QStringLiteral("TabSheet2"));

    std::array<QLabel*, 6> labels{};
    m_outSerial = makeSerialBoxes(page, "", m_form.outPorts, 4, &labels);
    auto* fields = new QFormLayout;
    const std::array<QComboBox*, 6> boxes = m_outSerial.all();
    for (int i = 0; i < 6; ++i) fields->addRow(labels[i], boxes[i]);
    m_comOn = new QCheckBox(QStringLiteral("Com enabled"), page);
    m_comOn->setObjectName(QStringLiteral("ComOnB"));
    fields->addRow(m_comOn);
    m_serialQueueSize = makeNumberEdit(page, "EComQSiz", 9);
    fields->addRow(buddyLabel(page, 10, QStringLiteral("Size of queue"), m_serialQueueSize),
                   m_serialQueueSize);

    QWidget* filters = buildFilterGroup("GroupBox4", "ListView2", {"Button6", "Button7", "Button8"},
                                        &m_serialFilters, page);

    auto* left = new QVBoxLayout;
    left->addLayout(fields);
    left->addStretch();
    auto* layout = new QHBoxLayout(page);
    layout->addLayout(left, 2);
    layout->addWidget(filters, 3);
    return page;
}

QWidget* TDSettings::buildFilterGroup(const char* groupName, const char* viewName,
                                      const std::array<const char*, 3>& buttonNames,
                                      FilterControls* controls, QWidget* parent) {
    QGroupBox* group = makeGroup(parent, groupName, QStringLiteral("Filters"));
    auto* view = new FilterView(group);
    view->setObjectName(QString::fromLatin1(viewName));
    nameAfterCaption(*view, *group);
    view->setHeaderLabels({QStringLiteral("SysNr"), QStringLiteral("Id From"),
                           QStringLiteral("Id To"), QStringLiteral("Slot"),
                           QStringLiteral("Rpt On")});
    view->setRootIsDecorated(false);
    view->setUniformRowHeights(true);
    view->setAllColumnsShowFocus(true);
    view->setSelectionMode(QAbstractItemView::SingleSelection);
    view->header()->setSectionsMovable(false);
    sizeFilterColumns(view);
    controls->view = view;
    controls->add = makeButton(group, buttonNames[0], QStringLiteral("Add"));
    controls->remove = makeButton(group, buttonNames[1], QStringLiteral("Remove"));
    controls->edit = makeButton(group, buttonNames[2], QStringLiteral("Edit"));

    auto* buttons = new QVBoxLayout;
    buttons->addWidget(controls->add);
    buttons->addWidget(controls->remove);
    buttons->addWidget(controls->edit);
    buttons->addStretch();
    auto* layout = new QHBoxLayout(group);
    layout->addWidget(view, 1);
    layout->addLayout(buttons);
    return group;
}

TDSettings::SerialBoxes TDSettings::makeSerialBoxes(QWidget* parent, const char* suffix,
                                                    const std::vector<std::string>& ports,
                                                    int firstLabel,
                                                    std::array<QLabel*, 6>* labels) {
    static const char* names[6] = {"PortBox",   "BaudBox", "DataBox",
                                   "ParityBox", "StopBox", "FlowBox"};
    static const char* captions[6] = {"Port",    "&Baud Rate", "&Data Bits",
                                      "&Parity", "&Stop bits", "&Flow control"};
    std::array<QComboBox*, 6> boxes{};
    for (int i = 0; i < 6; ++i) {
        boxes[i] = new QComboBox(parent);
        boxes[i]->setObjectName(QString::fromLatin1(names[i]) + QString::fromLatin1(suffix));
        (*labels)[i] =
            buddyLabel(parent, firstLabel + i, QString::fromLatin1(captions[i]), boxes[i]);
    }
    for (const std::string& p : ports) boxes[0]->addItem(text(p));
    addEntries(boxes[1], kBaudEntries);
    addEntries(boxes[2], kDataBitsEntries);
    addEntries(boxes[3], kParityEntries);
    addEntries(boxes[4], kStopBitsEntries);
    addEntries(boxes[5], kFlowEntries);
    return {boxes[0], boxes[1], boxes[2], boxes[3], boxes[4], boxes[5]};
}

QWidget* TDSettings::buildInputGroup() {
    QGroupBox* group = makeGroup(this, "GroupBox5", QStringLiteral("Input"));
    auto* fields = new QFormLayout(group);
    m_inPort = makeNumberEdit(group, "EIPort", 5);
    fields->addRow(buddyLabel(group, 11, QStringLiteral("Port"), m_inPort), m_inPort);
    m_testTime = makeNumberEdit(group, "eTTim", 9);
    fields->addRow(buddyLabel(group, 12, QStringLiteral("TestTime (min)"), m_testTime), m_testTime);
    m_inSync = makeTimeEdit(group, "TSyncEd");
    fields->addRow(buddyLabel(group, 13, QStringLiteral("Sync time (hh:mm)"), m_inSync), m_inSync);
    return group;
}

QWidget* TDSettings::buildComInGroup() {
    QGroupBox* group = makeGroup(this, "GroupBox6", QStringLiteral("Com In"));
    std::array<QLabel*, 6> labels{};
    m_inSerial = makeSerialBoxes(group, "I", m_form.inPorts, 14, &labels);
    const std::array<QComboBox*, 6> boxes = m_inSerial.all();
    // Three rows of two label-box pairs, read (and tabbed, in creation order) row by row.
    auto* grid = new QGridLayout(group);
    for (int i = 0; i < 6; ++i) {
        const int row = i / 2, column = (i % 2) * 2;
        grid->addWidget(labels[i], row, column);
        grid->addWidget(boxes[i], row, column + 1);
    }
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);
    return group;
}

void TDSettings::showSerial(const SerialBoxes& b, const std::vector<std::string>& ports,
                            const SerialForm& s) {
    int port = -1;
    for (std::size_t i = 0; i < ports.size(); ++i)
        if (ports[i] == s.port) port = static_cast<int>(i);
    b.port->setCurrentIndex(port);
    b.baud->setCurrentIndex(s.baudSelected ? b.baud->findText(text(s.baud), Qt::MatchExactly) : -1);
    // An entry number the box does not have leaves it without selection, as an absent key.
    const auto select = [](QComboBox* box, int index) {
        box->setCurrentIndex(index < box->count() ? index : -1);
    };
    select(b.data, s.dataIndex);
    select(b.parity, s.parityIndex);
    select(b.stop, s.stopIndex);
    select(b.flow, s.flowIndex);
}

SerialForm TDSettings::readSerial(const SerialBoxes& b) {
    SerialForm s;
    s.port = b.port->currentIndex() >= 0 ? text(b.port->currentText()) : std::string();
    s.baudSelected = b.baud->currentIndex() >= 0;
    s.baud = s.baudSelected ? text(b.baud->currentText()) : std::string();
    s.dataIndex = b.data->currentIndex();
    s.parityIndex = b.parity->currentIndex();
    s.stopIndex = b.stop->currentIndex();
    s.flowIndex = b.flow->currentIndex();
    return s;
}

void TDSettings::showForm() {
    showSerial(m_outSerial, m_form.outPorts, m_form.out);
    showSerial(m_inSerial, m_form.inPorts, m_form.in);
    m_outSync->setText(text(m_form.outSync));
    m_inSync->setText(text(m_form.inSync));
    m_outPort->setText(text(m_form.outPort));
    m_inPort->setText(text(m_form.inPort));
    m_testTime->setText(text(m_form.testTime));
    m_comOn->setChecked(m_form.comOn);
    m_serialQueueSize->setText(text(m_form.serialQSize));
    m_pages->setCurrentIndex(m_form.page == 1 ? 1 : 0);

    for (const tEItem& channel : m_form.channels) m_channelBox->addItem(text(channel.Id));
    // Shown whichever page is open, not only after the first change of page.
    showFilters(m_serialFilters.view, &m_form.serial.Filters);
    if (!m_form.channels.empty()) m_channelBox->setCurrentRow(0);
    showChannel(m_channelBox->currentRow());
}

SettingsForm TDSettings::form() const {
    SettingsForm f = m_form;
    f.out = readSerial(m_outSerial);
    f.in = readSerial(m_inSerial);
    f.outSync = text(m_outSync->text());
    f.inSync = text(m_inSync->text());
    f.outPort = text(m_outPort->text());
    f.inPort = text(m_inPort->text());
    f.testTime = text(m_testTime->text());
    f.page = m_pages->currentIndex();
    f.comOn = m_comOn->isChecked();
    f.serialQSize = text(m_serialQueueSize->text());
    // A queue size still being typed counts as if the field had been left.
    const int row = m_channelBox->currentRow();
    if (row >= 0 && row < static_cast<int>(f.channels.size())) {
        if (auto size = parseQueueSize(text(m_queueSize->text()))) f.channels[row].QSize = *size;
    }
    return f;
}

void TDSettings::accept() {
    if (auto problem = settingsProblem(form())) {
        operatorDialogs().message(this, windowTitle(), text(*problem),
                                  OperatorDialogs::Icon::Warning);
        return;
    }
    QDialog::accept();
}

void TDSettings::showChannel(int row) {
    const bool valid = row >= 0 && row < static_cast<int>(m_form.channels.size());
    showFilters(m_clientFilters.view, valid ? &m_form.channels[row].Filters : nullptr);
    m_queueSize->setText(valid ? QString::number(m_form.channels[row].QSize) : QString());
    updateEnabled();
}

void TDSettings::storeQueueSize() {
    const int row = m_channelBox->currentRow();
    if (row < 0 || row >= static_cast<int>(m_form.channels.size())) return;
    tEItem& channel = m_form.channels[row];
    if (auto size = parseQueueSize(text(m_queueSize->text()))) channel.QSize = *size;
    m_queueSize->setText(QString::number(channel.QSize));
}

void TDSettings::addChannel() {
    // A refused Id is offered again for correction, so the operator need not type it anew.
    QString typed;
    for (;;) {
        const std::optional<QString> id = operatorDialogs().inputText(
            this, QStringLiteral("Add Chanel"), QStringLiteral("Chanel Id"), typed);
        if (!id || id->isEmpty()) return;
        const auto problem = channelIdProblem(text(*id));
        if (!problem) {
            m_form.channels.emplace_back(text(*id));
            m_channelBox->addItem(*id);
            m_channelBox->setCurrentRow(m_channelBox->count() - 1);
            return;
        }
        operatorDialogs().message(this, QStringLiteral("Add Chanel"), text(*problem),
                                  OperatorDialogs::Icon::Warning);
        typed = *id;
    }
}

void TDSettings::removeChannel() {
    const int row = m_channelBox->currentRow();
    if (row < 0 || row >= static_cast<int>(m_form.channels.size())) return;
    m_form.channels.erase(m_form.channels.begin() + row);
    {
        // The list announces its new current row while the old row is still in it; the
        // channel shown is picked once the row is gone.
        const QSignalBlocker block(m_channelBox);
        delete m_channelBox->takeItem(row);
    }
    showChannel(m_channelBox->currentRow());
}

tFList* TDSettings::clientFilters() {
    const int row = m_channelBox->currentRow();
    if (row < 0 || row >= static_cast<int>(m_form.channels.size())) return nullptr;
    return &m_form.channels[row].Filters;
}

void TDSettings::addFilter(const FilterControls& controls, tFList* filters) {
    if (!filters) return;
    TOutDlg dialog(this);
    if (operatorDialogs().exec(dialog) != QDialog::Accepted) return;
    filters->push_back(dialog.filter());
    auto* item = new QTreeWidgetItem(controls.view);
    setRow(item, filters->back());
    controls.view->setCurrentItem(item);
}

void TDSettings::editFilter(const FilterControls& controls, tFList* filters) {
    const int row = currentRow(controls.view);
    if (!filters || row < 0 || row >= static_cast<int>(filters->size())) return;
    TOutDlg dialog((*filters)[row], this);
    if (operatorDialogs().exec(dialog) != QDialog::Accepted) return;
    (*filters)[row] = dialog.filter();
    setRow(controls.view->topLevelItem(row), (*filters)[row]);
}

void TDSettings::removeFilter(const FilterControls& controls, tFList* filters) {
    const int row = currentRow(controls.view);
    if (!filters || row < 0 || row >= static_cast<int>(filters->size())) return;
    filters->erase(filters->begin() + row);
    delete controls.view->takeTopLevelItem(row);  // the view's new current row updates the buttons
}

void TDSettings::updateEnabled() {
    const bool channel = clientFilters() != nullptr;
    m_queueSize->setEnabled(channel);
    m_removeChannel->setEnabled(channel);
    m_clientFilters.add->setEnabled(channel);
    const bool clientRow = channel && currentRow(m_clientFilters.view) >= 0;
    m_clientFilters.remove->setEnabled(clientRow);
    m_clientFilters.edit->setEnabled(clientRow);
    const bool serialRow = currentRow(m_serialFilters.view) >= 0;
    m_serialFilters.remove->setEnabled(serialRow);
    m_serialFilters.edit->setEnabled(serialRow);
}

bool runSettingsDialog(QWidget* parent, Server& server) {
    const IniFile ini = IniFile::load(server.iniPath());
    TDSettings dialog(
        readSettingsForm(ini, existingSerialPorts(ini), server.TestTimeMs, server.ComOn), parent);
    if (operatorDialogs().exec(dialog) != QDialog::Accepted) return false;
    std::string error;
    if (applySettings(server, dialog.form(), &error)) return true;
    operatorDialogs().message(parent, dialog.windowTitle(), text(error),
                              OperatorDialogs::Icon::Critical);
    return false;
}

}  // namespace kormlink
