#include "device/command_window.h"

#include "core/app_icons.h"
#include "core/form_translation.h"

namespace kormlink {

TFCmd::TFCmd(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName("FCmd");
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowIcon(applicationIcon());
    resize(640, 420);
    translateWindow(*this, QStringLiteral("Commands"));
}

}  // namespace kormlink
