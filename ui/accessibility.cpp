#include "ui/accessibility.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QKeySequence>
#include <QMetaObject>
#include <QSet>
#include <QShortcut>
#include <QToolButton>

#include "ui/form_translation.h"

namespace kormlink {

namespace {

QSet<QString>& windowClasses() {
    static QSet<QString> classes;
    return classes;
}

// Asked for each class of an object, from its own class up, before Qt's own interfaces; it
// answers only for the registered classes.
QAccessibleInterface* windowInterface(const QString& className, QObject* object) {
    if (!object || !object->isWidgetType() || !windowClasses().contains(className)) return nullptr;
    return new QAccessibleWidget(static_cast<QWidget*>(object), QAccessible::Window);
}

}  // namespace

void exposeAsWindow(const QMetaObject& type) {
    if (windowClasses().isEmpty()) QAccessible::installFactory(&windowInterface);
    windowClasses().insert(QString::fromLatin1(type.className()));
}

void addShortcut(QWidget& window, QToolButton& button, const QKeySequence& key) {
    QObject::connect(new QShortcut(key, &window), &QShortcut::activated, &button,
                     &QToolButton::click);
    button.setToolTip(QStringLiteral("%1 (%2)").arg(plainCaption(button.text()),
                                                    key.toString(QKeySequence::NativeText)));
}

}  // namespace kormlink
