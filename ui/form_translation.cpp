#include "ui/form_translation.h"

#include <QAbstractButton>
#include <QAction>
#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QStackedWidget>
#include <QStringDecoder>
#include <QTabWidget>
#include <QToolButton>
#include <QVariant>
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

// The control whose caption names a field, kept on the field.
constexpr char kNamedAfter[] = "kormlinkNamedAfter";

QString captionOf(const QWidget& w) {
    if (auto* label = qobject_cast<const QLabel*>(&w)) return label->text();
    if (auto* group = qobject_cast<const QGroupBox*>(&w)) return group->title();
    if (auto* button = qobject_cast<const QAbstractButton*>(&w)) return button->text();
    return w.windowTitle();
}

void nameAfterCaptions(QWidget& window) {
    for (QWidget* field : window.findChildren<QWidget*>()) {
        if (auto* caption = qobject_cast<QWidget*>(field->property(kNamedAfter).value<QObject*>()))
            field->setAccessibleName(plainCaption(captionOf(*caption)));
    }
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

QString plainCaption(QString caption) {
    // After a removal the next character moves up and is stepped over: "&&" keeps one "&".
    for (qsizetype i = 0; i < caption.size(); ++i)
        if (caption[i] == QLatin1Char('&')) caption.remove(i, 1);
    return caption;
}

void nameAfterCaption(QWidget& field, QWidget& caption) {
    field.setProperty(kNamedAfter, QVariant::fromValue(static_cast<QObject*>(&caption)));
    field.setAccessibleName(plainCaption(captionOf(caption)));
}

int translateWindow(QWidget& window, const QString& builtInTitle,
                    std::initializer_list<WindowText> texts) {
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
        for (const WindowText& text : texts) {
            if (wanted.compare(QLatin1String(text.name), Qt::CaseInsensitive) == 0) {
                *text.text = caption;
                return true;
            }
        }
        return false;
    });
    if (window.windowTitle().isEmpty()) window.setWindowTitle(builtInTitle);
    nameAfterCaptions(window);
    return set;
}

}  // namespace kormlink
