#include "ui/form_translation.h"

#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QTabWidget>
#include <QToolButton>
#include <QWidget>

#include "config_image/message_catalog.h"

namespace kormlink {

QString catalogText(const std::string& bytes) {
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(QByteArrayView(bytes.data(), static_cast<qsizetype>(bytes.size())));
    if (!utf8.hasError()) return text;
    return QString::fromLatin1(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

namespace {

// The tab widget whose page this widget is, or nullptr.
QTabWidget* tabOwning(QWidget* page) {
    auto* stack = qobject_cast<QStackedWidget*>(page->parentWidget());
    return stack ? qobject_cast<QTabWidget*>(stack->parentWidget()) : nullptr;
}

bool setWidgetCaption(QWidget& window, QWidget* w, const QString& caption) {
    if (auto* label = qobject_cast<QLabel*>(w)) {
        label->setText(caption);
    } else if (auto* tool = qobject_cast<QToolButton*>(w)) {
        tool->setText(caption);
    } else if (auto* button = qobject_cast<QPushButton*>(w)) {
        button->setText(caption);
    } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
        group->setTitle(caption);
    } else if (QTabWidget* tabs = tabOwning(w)) {
        tabs->setTabText(tabs->indexOf(w), caption);
    } else if (auto* check = qobject_cast<QCheckBox*>(w)) {
        check->setText(caption);
    } else if (w == &window || w->isWindow()) {
        w->setWindowTitle(caption);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int translateWindow(QWidget& window, const QString& builtInTitle) {
    const std::string section = window.objectName().toStdString();
    const int set = TranslateForm(section, [&](const std::string& name, const std::string& value) {
        const QString wanted = QString::fromStdString(name);
        const QString caption = catalogText(value);
        if (wanted.compare(window.objectName(), Qt::CaseInsensitive) == 0) {
            window.setWindowTitle(caption);
            return true;
        }
        // Menu items first, as the kinds are tried in that order.
        for (QAction* action : window.findChildren<QAction*>()) {
            if (action->objectName().compare(wanted, Qt::CaseInsensitive) == 0) {
                action->setText(caption);
                return true;
            }
        }
        for (QWidget* w : window.findChildren<QWidget*>()) {
            if (w->objectName().compare(wanted, Qt::CaseInsensitive) == 0)
                return setWidgetCaption(window, w, caption);
        }
        return false;
    });
    if (window.windowTitle().isEmpty()) window.setWindowTitle(builtInTitle);
    return set;
}

}  // namespace kormlink
