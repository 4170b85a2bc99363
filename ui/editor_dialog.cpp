#include "ui/editor_dialog.h"

#include <QButtonGroup>
#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QFileInfo>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTabBar>
#include <QTabWidget>
#include <QToolButton>
#include <QValidator>
#include <QVBoxLayout>

#include "config_image/editor_model.h"
#include "config_image/field_table.h"
#include "config_image/message_catalog.h"
#include "ui/form_translation.h"
#include "ui/mask_grid_widget.h"
#include "ui/operator_dialogs.h"

namespace kormlink {

namespace {

QString latin1(const std::string& text) { return QString::fromLatin1(text.c_str()); }
QString withoutE(const std::string& name) { return latin1(name.substr(1)); }
QString hexFiles() { return QStringLiteral("Hex files (*.hex)"); }

// Drops the typed characters a field's key filter does not let through. Editing and
// navigation keys, shortcuts and pasted text pass.
class KeyFilterObject final : public QObject {
public:
    KeyFilterObject(KeyFilter filter, QObject* parent) : QObject(parent), m_filter(filter) {}

    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() != QEvent::KeyPress) return false;
        auto* key = static_cast<QKeyEvent*>(event);
        if (key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier))
            return false;
        const QString text = key->text();
        if (text.isEmpty() || text.front().unicode() < 0x20 || text.front().unicode() == 0x7F)
            return false;
        for (QChar c : text) {
            if (c.unicode() > 0x7E || !keyAccepted(m_filter, static_cast<char>(c.unicode())))
                return true;
        }
        return false;
    }

private:
    KeyFilter m_filter;
};

// The most characters the operator may type or paste into a field. Unlike QLineEdit's own
// limit it leaves a longer text the program shows alone ("65535" in a field limited to 4 must
// reach the image unchanged), while typing still cannot make such a text longer.
class MaxLengthValidator final : public QValidator {
public:
    MaxLengthValidator(int maxLength, QObject* parent) : QValidator(parent), m_max(maxLength) {}
    State validate(QString& input, int&) const override {
        return input.size() <= std::max(m_max, m_shownLength) ? Acceptable : Invalid;
    }
    void setShownLength(int n) { m_shownLength = n; }

private:
    int m_max;
    int m_shownLength = 0;
};

// Shows a value the program read; its length becomes the field's limit when it is longer.
void showText(QLineEdit& edit, const QString& text) {
    // The validator belongs to the edit; only the const accessor hands it out.
    if (auto* limit = dynamic_cast<MaxLengthValidator*>(const_cast<QValidator*>(edit.validator())))
        limit->setShownLength(static_cast<int>(text.size()));
    edit.setText(text);
}

// Width of an edit for n characters.
int editWidth(const QWidget& w, int n) {
    return w.fontMetrics().horizontalAdvance(QString(n, QLatin1Char('0'))) + 14;
}

int shownChars(const FieldDef& field) {
    int chars = 3;
    switch (field.encoding) {
        case FieldEncoding::Hex8: chars = 3; break;
        case FieldEncoding::Dec8: chars = 4; break;
        case FieldEncoding::Be16: chars = 6; break;
        default: break;
    }
    return std::min(std::max(chars, field.maxLength + 1), 18);
}

bool on(EditorPage page, const FieldDef& f) { return f.page == page; }

// Tab moves through the widgets in this order (the table's order is not the layout's).
void chainTabOrder(const std::vector<QWidget*>& order) {
    for (std::size_t i = 1; i < order.size(); ++i) QWidget::setTabOrder(order[i - 1], order[i]);
}

template <class T>
void appendChildren(std::vector<QWidget*>& order, QWidget* parent) {
    for (T* w : parent->findChildren<T*>()) order.push_back(w);
}

}  // namespace

// The model together with the questions it asks, kept alive by whoever still holds it.
struct TProgDlg::Session {
    class Questions final : public EditorQuestions {
    public:
        QPointer<QWidget> parent;
        const EditorMessages* messages = nullptr;

        bool ask(const std::string& text) override {
            const bool leaving = messages && (text == messages->leaveWith ||
                                              text == messages->leaveWithout);
            // A wrong count is let through only on purpose: Enter answers No there.
            return operatorDialogs().question(
                parent, QStringLiteral("Warning"), catalogText(text),
                OperatorDialogs::Buttons::YesNo,
                leaving ? OperatorDialogs::Icon::Warning : OperatorDialogs::Icon::Question,
                !leaving);
        }
        std::string askRanges(const std::string& caption) override {
            const auto answer = operatorDialogs().inputText(parent, latin1(caption),
                                                            QStringLiteral("From To"), QString());
            return answer ? answer->toStdString() : std::string();
        }
    };

    Session() {
        messages.badSegCount = message(MessageId::sBadSegCount);
        messages.badBlackCount = message(MessageId::sBadBlackCount);
        messages.leaveWith = message(MessageId::sLeaveWith);
        messages.leaveWithout = message(MessageId::sLeaveWithout);
        questions.messages = &messages;
        model.setMessages(messages);
    }

    EditorMessages messages;
    Questions questions;
    ConfigEditor model{&questions};
};

TProgDlg::TProgDlg(QWidget* parent)
    : QDialog(parent), m_session(std::make_shared<Session>()), m_model(&m_session->model) {
    setObjectName("ProgDlg");
    m_session->questions.parent = this;
    m_shared = std::shared_ptr<ConfigEditor>(m_session, m_model);  // shares the session

    m_pages = new QTabWidget(this);
    m_pages->setObjectName("PageControl1");
    m_pages->addTab(buildGeneralPage(), QStringLiteral("General"));
    m_pages->addTab(buildWiznetPage(), QStringLiteral("Wiznet Settings"));
    m_pages->addTab(buildSlotsPage(), QStringLiteral("Slots"));
    m_pages->addTab(buildAdvancedPage(), QStringLiteral("Advanced"));
    for (int i = 0; i < m_pages->count(); ++i)
        m_pages->widget(i)->setObjectName(QStringLiteral("TabSheet%1").arg(i + 1));

    auto* load = new QPushButton(QStringLiteral("Load"), this);
    load->setObjectName("BitBtn1");
    auto* save = new QPushButton(QStringLiteral("Save"), this);
    save->setObjectName("BitBtn2");
    for (QPushButton* b : {load, save}) b->setAutoDefault(false);
    QDialogButtonBox* okCancel = makeOkCancelButtons(*this);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(load);
    bottom->addWidget(save);
    bottom->addStretch(1);
    bottom->addWidget(okCancel);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_pages, 1);
    layout->addLayout(bottom);

    connect(load, &QPushButton::clicked, this, &TProgDlg::loadAction);
    connect(save, &QPushButton::clicked, this, &TProgDlg::saveAction);
    connect(m_pages, &QTabWidget::currentChanged, this, &TProgDlg::pageChanged);

    translateWindow(*this, QStringLiteral("Edit"));
    showModel();
}

TProgDlg::~TProgDlg() = default;

QWidget* TProgDlg::fieldControl(const FieldDef& field, QWidget* parent) {
    const QString name = latin1(field.name);
    if (field.encoding == FieldEncoding::OneHot || field.encoding == FieldEncoding::SlotType) {
        auto* box = new QComboBox(parent);
        box->setObjectName(name);
        for (const std::string& choice : field.choices) box->addItem(latin1(choice));
        box->setCurrentIndex(-1);
        box->setMinimumContentsLength(8);
        box->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
        m_selectors.insert(name, box);
        return box;
    }
    auto* edit = new QLineEdit(parent);
    edit->setObjectName(name);
    if (field.maxLength > 0) edit->setValidator(new MaxLengthValidator(field.maxLength, edit));
    if (field.filter != KeyFilter::None)
        edit->installEventFilter(new KeyFilterObject(field.filter, edit));
    edit->setFixedWidth(editWidth(*edit, shownChars(field)));
    m_edits.insert(name, edit);
    return edit;
}

QCheckBox* TProgDlg::addCheckBoxes(const FieldDef& field, QWidget* holder, QGridLayout* grid,
                                  int columns) {
    QCheckBox* first = nullptr;
    int i = 0;
    for (const CheckBoxDef& def : field.checks) {
        auto* box = new QCheckBox(latin1(def.caption), holder);
        box->setObjectName(latin1(def.name));
        m_checks.insert(box->objectName(), box);
        if (!first) first = box;
        if (grid) grid->addWidget(box, i / columns, i % columns);
        ++i;
    }
    return first;
}

QWidget* TProgDlg::bitsControl(const FieldDef& field, QWidget* parent, int columns,
                               const char* groupName) {
    // A byte of one bit is a lone check box; wider ones sit in a group box of their caption.
    if (field.checks.size() <= 1) return addCheckBoxes(field, parent, nullptr, columns);
    auto* group = new QGroupBox(latin1(field.caption), parent);
    if (groupName) group->setObjectName(QLatin1String(groupName));
    auto* grid = new QGridLayout(group);
    grid->setVerticalSpacing(2);
    addCheckBoxes(field, group, grid, columns);
    return group;
}

QWidget* TProgDlg::addFieldRow(QGridLayout* grid, int row, int column, const FieldDef& field,
                               QWidget* parent) {
    QWidget* control = fieldControl(field, parent);
    const QByteArray labelName = "l" + withoutE(field.name).toLatin1();
    grid->addWidget(buddyLabel(parent, labelName.constData(), latin1(field.caption), control), row,
                    column);
    grid->addWidget(control, row, column + 1);
    if (!field.unit.empty()) {
        auto* unit = new QLabel(latin1(field.unit), parent);
        unit->setObjectName("u" + withoutE(field.name));
        grid->addWidget(unit, row, column + 2);
    }
    return control;
}

QWidget* TProgDlg::buildGeneralPage() {
    auto* page = new QWidget;
    auto* values = new QGridLayout;
    auto* scrambler = new QGroupBox(QStringLiteral("Scrambler Mask"), page);
    scrambler->setObjectName("gScramblerMask");
    auto* scramblerGrid = new QGridLayout(scrambler);
    auto* backups = new QGridLayout;
    auto* directions = new QVBoxLayout;
    auto* channelTabs = new QTabWidget;
    channelTabs->setObjectName("PageControl2");
    channelTabs->setDocumentMode(true);  // flat tabs
    QGroupBox* mesDirections = nullptr;
    std::vector<QWidget*> left, scramblerOrder, backupOrder, groups;
    int valueRow = 0, scramblerIndex = 0, backupRow = 0;
    for (const FieldDef& f : fieldTable()) {
        if (!on(EditorPage::General, f)) continue;
        if (f.encoding == FieldEncoding::Bits && !f.tab.empty()) {
            if (!mesDirections) {
                mesDirections = new QGroupBox(latin1(f.caption), page);
                mesDirections->setObjectName("gMesDirections");
                (new QVBoxLayout(mesDirections))->addWidget(channelTabs);
            }
            auto* tab = new QWidget;
            tab->setObjectName("TabSheet" + latin1(f.tab));
            addCheckBoxes(f, tab, new QGridLayout(tab), 2);
            channelTabs->addTab(tab, latin1(f.tab));
        } else if (f.encoding == FieldEncoding::Bits) {
            const bool tx = f.checks.size() == 8;
            groups.push_back(bitsControl(f, page, 2, tx ? "gTxConfig" : "gMesDirection"));
            directions->addWidget(groups.back());
        } else if (f.encoding == FieldEncoding::OneHot) {
            backupOrder.push_back(addFieldRow(backups, backupRow++, 0, f, page));
        } else if (f.unit.rfind("Ch", 0) == 0 && f.encoding == FieldEncoding::Hex8) {
            // The eight scrambler masks: labelled by their channel, named for screen readers.
            QWidget* edit = fieldControl(f, scrambler);
            const int row = scramblerIndex % 4, column = (scramblerIndex / 4) * 2;
            QLabel* label = buddyLabel(scrambler, ("l" + withoutE(f.name)).toLatin1().constData(),
                                       latin1(f.unit), edit);
            edit->setAccessibleName(latin1(f.caption + " " + f.unit));
            scramblerGrid->addWidget(label, row, column);
            scramblerGrid->addWidget(edit, row, column + 1);
            scramblerOrder.push_back(edit);
            ++scramblerIndex;
        } else {
            left.push_back(addFieldRow(values, valueRow++, 0, f, page));
        }
    }
    // Direction groups in table order: "RPT Mes.Direction", "MesDirections", "RPT Tx config".
    if (mesDirections) {
        directions->insertWidget(1, mesDirections);
        groups.insert(groups.begin() + 1, mesDirections);
    }
    directions->addStretch(1);
    // Down the left column, then the middle one, then the direction groups on the right.
    std::vector<QWidget*> order = left;
    order.insert(order.end(), scramblerOrder.begin(), scramblerOrder.end());
    order.insert(order.end(), backupOrder.begin(), backupOrder.end());
    for (QWidget* group : groups) {
        if (group == mesDirections) order.push_back(channelTabs);
        appendChildren<QCheckBox>(order, group);
    }
    chainTabOrder(order);
    values->setRowStretch(valueRow, 1);
    auto* middle = new QVBoxLayout;
    middle->addWidget(scrambler);
    middle->addLayout(backups);
    middle->addStretch(1);
    auto* layout = new QHBoxLayout(page);
    layout->addLayout(values);
    layout->addSpacing(8);
    layout->addLayout(middle);
    layout->addSpacing(8);
    layout->addLayout(directions, 1);
    return page;
}

QWidget* TProgDlg::buildWiznetPage() {
    auto* page = new QWidget;
    std::vector<const FieldDef*> fields;
    for (const FieldDef& f : fieldTable())
        if (on(EditorPage::Wiznet, f)) fields.push_back(&f);
    auto* grid = new QGridLayout;
    const int half = static_cast<int>(fields.size() + 1) / 2;
    for (int i = 0; i < static_cast<int>(fields.size()); ++i) {
        const FieldDef& f = *fields[static_cast<std::size_t>(i)];
        const int row = i % half, column = (i / half) * 4;
        if (f.encoding == FieldEncoding::Bits)
            grid->addWidget(bitsControl(f, page, 1, nullptr), row, column, 1, 2);
        else
            addFieldRow(grid, row, column, f, page);
    }
    grid->setColumnMinimumWidth(3, 24);
    grid->setColumnStretch(7, 1);
    grid->setRowStretch(half, 1);
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(grid);
    return page;
}

QWidget* TProgDlg::buildSlotsPage() {
    auto* page = new QWidget;
    auto* top = new QHBoxLayout;
    m_channels = new QButtonGroup(page);
    m_channels->setExclusive(true);
    for (int k = 1; k <= kChannels; ++k) {
        auto* button = new QToolButton(page);
        button->setObjectName(QStringLiteral("bCh%1").arg(k));
        button->setText(QStringLiteral("Ch%1").arg(k));
        button->setCheckable(true);
        button->setFocusPolicy(Qt::StrongFocus);
        m_channels->addButton(button, k);
        top->addWidget(button);
    }
    connect(m_channels, &QButtonGroup::idClicked, this, &TProgDlg::channelClicked);

    // Everything below the channel buttons shows the current channel's record.
    m_slotFields = new QWidget(page);
    auto* fieldsLayout = new QVBoxLayout(m_slotFields);
    fieldsLayout->setContentsMargins(0, 0, 0, 0);
    auto* typeRow = new QGridLayout;
    auto* lists = new QHBoxLayout;
    struct PairList {
        QGroupBox* group;
        QGridLayout* grid;
        int pairs = 0;
    };
    auto makeList = [&](const char* name, const QString& title) {
        auto* group = new QGroupBox(title, m_slotFields);
        group->setObjectName(QLatin1String(name));
        auto* grid = new QGridLayout(group);
        grid->setVerticalSpacing(2);
        lists->addWidget(group);
        return PairList{group, grid};
    };
    PairList segments = makeList("gSegments", QStringLiteral("Segments"));
    PairList blacklist = makeList("gBlackList", QStringLiteral("Black list"));
    int typeColumn = 0;
    for (const FieldDef& f : fieldTable()) {
        if (!on(EditorPage::Slots, f)) continue;
        const bool segment = f.name.rfind("eSegment", 0) == 0;
        const bool black = f.name.rfind("eBlackList", 0) == 0;
        if (f.name == "eDigOfActiveSeg" || f.name == "eDigOfActiveBlack") {
            PairList& list = f.name == "eDigOfActiveSeg" ? segments : blacklist;
            addFieldRow(list.grid, 0, 0, f, list.group);
            continue;
        }
        if (!segment && !black) {
            addFieldRow(typeRow, 0, typeColumn, f, m_slotFields);
            typeColumn += 3;
            continue;
        }
        // Pairs run down two columns of eight: label, L, H.
        PairList& list = segment ? segments : blacklist;
        const bool low = f.unit == "L";
        const int index = low ? list.pairs++ : list.pairs - 1;
        const int row = 2 + index % 8, column = (index / 8) * 4;
        QWidget* edit = fieldControl(f, list.group);
        edit->setAccessibleName(latin1(f.caption + " " + f.unit));
        if (low) {
            QLabel* label =
                buddyLabel(list.group, ("l" + withoutE(f.name)).toLatin1().constData(),
                           latin1(f.caption), edit);
            list.grid->addWidget(label, row, column);
            if (index % 8 == 0) {
                for (int h = 0; h < 2; ++h) {
                    auto* head = new QLabel(h == 0 ? QStringLiteral("L") : QStringLiteral("H"),
                                            list.group);
                    head->setAlignment(Qt::AlignCenter);
                    list.grid->addWidget(head, 1, column + 1 + h);
                }
            }
        }
        list.grid->addWidget(edit, row, column + (low ? 1 : 2));
    }
    for (PairList* list : {&segments, &blacklist}) list->grid->setColumnMinimumWidth(3, 10);
    typeRow->setColumnStretch(typeColumn, 1);

    auto* mask = new QGroupBox(QStringLiteral("Addr. Bit Mask"), m_slotFields);
    mask->setObjectName("gMask");
    m_grid = new MaskGridWidget(m_model->grid(), mask);
    m_gridLabel = new QLabel(mask);
    m_gridLabel->setObjectName("Gl");
    m_gridLabel->setMinimumWidth(editWidth(*m_gridLabel, 10));
    m_grid->setLabelChanged([this](const QString& text) { m_gridLabel->setText(text); });
    auto* set = new QPushButton(QStringLiteral("Set"), mask);
    set->setObjectName("BitBtn3");
    auto* clear = new QPushButton(QStringLiteral("Clear"), mask);
    clear->setObjectName("BitBtn4");
    for (QPushButton* b : {set, clear}) b->setAutoDefault(false);
    connect(set, &QPushButton::clicked, this, &TProgDlg::setClicked);
    connect(clear, &QPushButton::clicked, this, &TProgDlg::clearClicked);
    auto* maskButtons = new QHBoxLayout;
    maskButtons->addWidget(m_gridLabel);
    maskButtons->addStretch(1);
    maskButtons->addWidget(set);
    maskButtons->addWidget(clear);
    auto* maskLayout = new QVBoxLayout(mask);
    maskLayout->addWidget(m_grid);
    maskLayout->addLayout(maskButtons);

    top->addStretch(1);
    fieldsLayout->addLayout(typeRow);
    fieldsLayout->addLayout(lists);
    fieldsLayout->addWidget(mask);
    fieldsLayout->addStretch(1);

    auto* layout = new QVBoxLayout(page);
    layout->addLayout(top);
    layout->addWidget(m_slotFields, 1);

    // Channel buttons, the type row, both lists, then the mask buttons.
    std::vector<QWidget*> order;
    for (QAbstractButton* b : m_channels->buttons()) order.push_back(b);
    order.push_back(m_selectors.value("eType"));
    order.push_back(m_edits.value("eScramblerMask"));
    appendChildren<QLineEdit>(order, segments.group);
    appendChildren<QLineEdit>(order, blacklist.group);
    order.push_back(set);
    order.push_back(clear);
    chainTabOrder(order);
    return page;
}

QWidget* TProgDlg::buildAdvancedPage() {
    auto* page = new QWidget;
    auto* grid = new QGridLayout;
    std::vector<const FieldDef*> values;
    QWidget* repCfg = nullptr;
    for (const FieldDef& f : fieldTable()) {
        if (!on(EditorPage::Advanced, f)) continue;
        if (f.encoding == FieldEncoding::Bits)
            repCfg = bitsControl(f, page, 4, "gRepCfg1");
        else
            values.push_back(&f);
    }
    const int perColumn = static_cast<int>(values.size() + 2) / 3;
    for (int i = 0; i < static_cast<int>(values.size()); ++i)
        addFieldRow(grid, i % perColumn, (i / perColumn) * 4, *values[static_cast<std::size_t>(i)],
                    page);
    grid->setColumnMinimumWidth(3, 16);
    grid->setColumnMinimumWidth(7, 16);
    grid->setColumnStretch(11, 1);
    auto* layout = new QVBoxLayout(page);
    layout->addLayout(grid);
    if (repCfg) layout->addWidget(repCfg);
    layout->addStretch(1);
    return page;
}

void TProgDlg::storeControls() {
    for (auto it = m_edits.cbegin(); it != m_edits.cend(); ++it)
        m_model->setText(it.key().toStdString(), it.value()->text().toLatin1().toStdString());
    for (auto it = m_selectors.cbegin(); it != m_selectors.cend(); ++it)
        m_model->setSelection(it.key().toStdString(), it.value()->currentIndex());
    for (auto it = m_checks.cbegin(); it != m_checks.cend(); ++it)
        m_model->setChecked(it.key().toStdString(), it.value()->isChecked());
}

void TProgDlg::showModel(bool slotPage) {
    auto shown = [&](const QString& name) {
        const FieldDef* f = findField(name.toStdString());
        return slotPage || !f || f->area != FieldArea::Slot;
    };
    for (auto it = m_edits.cbegin(); it != m_edits.cend(); ++it)
        if (shown(it.key())) showText(*it.value(), latin1(m_model->text(it.key().toStdString())));
    for (auto it = m_selectors.cbegin(); it != m_selectors.cend(); ++it)
        if (shown(it.key()))
            it.value()->setCurrentIndex(m_model->selection(it.key().toStdString()));
    for (auto it = m_checks.cbegin(); it != m_checks.cend(); ++it)
        it.value()->setChecked(m_model->checked(it.key().toStdString()));
    const int current = m_model->image().CurrentChannel;
    for (int k = 1; k <= kChannels; ++k) {
        QAbstractButton* button = m_channels->button(k);
        button->setEnabled(m_model->channelButtonEnabled(k));
        if (k == current) button->setChecked(true);
    }
    if (current < 1 || current > kChannels) {
        // No channel shown: no button down and nothing on the Slots page to edit.
        m_channels->setExclusive(false);
        for (QAbstractButton* b : m_channels->buttons()) b->setChecked(false);
        m_channels->setExclusive(true);
    }
    m_slotFields->setEnabled(current >= 1 && current <= kChannels);
    maskChanged();
}

void TProgDlg::maskChanged() {
    m_gridLabel->setText(QString::fromStdString(m_model->grid().label()));
    m_grid->update();
}

void TProgDlg::ShowGeneral() {
    m_model->ShowGeneral();
    showModel();
}

void TProgDlg::prepareOffline() {
    tCfgImage& image = m_model->image();
    for (auto& present : image.ChannelPresent) present = 1;
    image.CurrentChannel = 1;
    m_model->ShowGeneral();
    // Only the general pages are refreshed; the Slots page keeps what it shows.
    showModel(false);
}

void TProgDlg::channelClicked(int k) {
    storeControls();
    if (!m_model->selectChannel(k)) {
        // Stay on the channel shown: its button goes down again.
        if (QAbstractButton* b = m_channels->button(m_model->image().CurrentChannel))
            b->setChecked(true);
        return;
    }
    showModel();
}

void TProgDlg::setClicked() {
    m_model->maskSet();
    maskChanged();
}

void TProgDlg::clearClicked() {
    m_model->maskClear();
    maskChanged();
}

bool TProgDlg::loadAction() {
    const QString path = operatorDialogs().openFileName(this, QStringLiteral("Load"), hexFiles());
    if (path.isEmpty()) return false;
    m_model->loadHexFile(path.toStdString());
    showModel();
    return true;
}

void TProgDlg::saveAction() {
    storeControls();
    if (!m_model->StoreSlot()) return;
    QString path = operatorDialogs().saveFileName(this, QStringLiteral("Save"), hexFiles());
    if (path.isEmpty()) return;
    if (QFileInfo(path).suffix().isEmpty()) path += QStringLiteral(".hex");
    std::string error;
    if (!m_model->writeHexFile(path.toStdString(), &error)) {
        // A file that could not be written must not pass for saved.
        operatorDialogs().message(this, QStringLiteral("Error"),
                                  QStringLiteral("%1: %2").arg(path, QString::fromStdString(error)),
                                  OperatorDialogs::Icon::Critical);
    }
}

void TProgDlg::pageChanged(int index) {
    // Ctrl+Tab leaves the focus on the page that went; the tabs take it, so it stays visible.
    if (QWidget* focus = focusWidget(); !focus || !focus->isVisible()) m_pages->tabBar()->setFocus();
    if (index != static_cast<int>(EditorPage::Advanced)) return;
    operatorDialogs().message(this, QStringLiteral("Warning"),
                              catalogText(message(MessageId::sCompetentOnly)),
                              OperatorDialogs::Icon::Warning);
}

void TProgDlg::done(int result) {
    storeControls();
    if (!m_model->queryClose(result == QDialog::Accepted)) return;
    QDialog::done(result);
}

}  // namespace kormlink
