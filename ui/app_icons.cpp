#include "ui/app_icons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace kormlink {

namespace {

// Draws at a 64 x 64 design size, scaled to each pixmap size.
template <class Draw>
QIcon drawnIcon(Draw draw) {
    QIcon icon;
    for (int size : {16, 24, 32, 48, 64, 128, 256}) {
        QPixmap pixmap(size, size);
        pixmap.fill(Qt::transparent);
        QPainter p(&pixmap);
        p.setRenderHint(QPainter::Antialiasing);
        p.scale(size / 64.0, size / 64.0);
        draw(p);
        p.end();
        icon.addPixmap(pixmap);
    }
    return icon;
}

}  // namespace

QIcon applicationIcon() {
    static const QIcon icon = drawnIcon([](QPainter& p) {
        // A rounded tile, a mast on a base, and two pairs of waves around its top.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x1f, 0x4e, 0x79));
        p.drawRoundedRect(QRectF(2, 2, 60, 60), 12, 12);
        QPen mast(QColor(0xff, 0xff, 0xff), 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(mast);
        p.drawLine(QPointF(32, 24), QPointF(20, 54));
        p.drawLine(QPointF(32, 24), QPointF(44, 54));
        p.drawLine(QPointF(25, 42), QPointF(39, 42));
        p.setBrush(QColor(0xff, 0x5a, 0x36));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPointF(32, 20), 5.5, 5.5);
        QPen wave(QColor(0xff, 0xff, 0xff), 3.5, Qt::SolidLine, Qt::RoundCap);
        p.setPen(wave);
        p.setBrush(Qt::NoBrush);
        for (double r : {11.0, 19.0}) {
            const QRectF box(32 - r, 20 - r, 2 * r, 2 * r);
            p.drawArc(box, 150 * 16, 60 * 16);   // left
            p.drawArc(box, -30 * 16, 60 * 16);   // right
        }
    });
    return icon;
}

QIcon connectedIcon() {
    static const QIcon icon = drawnIcon([](QPainter& p) {
        // A green disc with a white tick.
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(0x2e, 0x9d, 0x44));
        p.drawEllipse(QRectF(6, 6, 52, 52));
        QPen tick(Qt::white, 8, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
        p.setPen(tick);
        QPainterPath path(QPointF(19, 33));
        path.lineTo(28, 42);
        path.lineTo(45, 23);
        p.setBrush(Qt::NoBrush);
        p.drawPath(path);
    });
    return icon;
}

}  // namespace kormlink
