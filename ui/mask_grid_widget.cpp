#include "ui/mask_grid_widget.h"

#include <QMouseEvent>
#include <QPainter>

#include "config_image/mask_grid.h"

namespace kormlink {

MaskGridWidget::MaskGridWidget(MaskGrid& grid, QWidget* parent) : QWidget(parent), m_grid(grid) {
    setObjectName("PB");
    setFixedSize(kWidth, kHeight);
    setMouseTracking(true);  // the label follows the pointer even without a button down
    setAttribute(Qt::WA_OpaquePaintEvent);
    setAccessibleName(QStringLiteral("Address mask"));
    setAccessibleDescription(
        QStringLiteral("32 rows of 128 addresses; Set and Clear also take typed ranges"));
}

void MaskGridWidget::paintEvent(QPaintEvent*) {
    // Every cell is drawn from the grid on each paint: 5 x 4 pixels on a 6 x 5 pitch over black.
    QPainter painter(this);
    painter.fillRect(rect(), Qt::black);
    const QColor selected(Qt::white), enabled(0, 255, 0), other(128, 128, 128);
    for (int r = 0; r < MaskGrid::kRows; ++r) {
        for (int c = 0; c < MaskGrid::kColumns; ++c) {
            const std::uint8_t cell = m_grid.cell(r * MaskGrid::kColumns + c);
            const QColor& color = (cell & MaskGrid::kSelected)  ? selected
                                  : (cell & MaskGrid::kEnabled) ? enabled
                                                                : other;
            painter.fillRect(MaskGrid::kPitchX * c + 1, MaskGrid::kPitchY * r + 1,
                             MaskGrid::kPitchX - 1, MaskGrid::kPitchY - 1, color);
        }
    }
}

void MaskGridWidget::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return;
    const QPoint p = event->position().toPoint();
    m_grid.mousePress(p.x(), p.y(), event->modifiers() & Qt::ControlModifier);
    changed();
}

void MaskGridWidget::mouseMoveEvent(QMouseEvent* event) {
    const QPoint p = event->position().toPoint();
    m_grid.mouseMove(p.x(), p.y());
    changed();
}

void MaskGridWidget::mouseReleaseEvent(QMouseEvent* event) {
    if (event->button() == Qt::LeftButton) m_grid.mouseRelease();
}

void MaskGridWidget::changed() {
    update();
    if (m_labelChanged) m_labelChanged(QString::fromStdString(m_grid.label()));
}

}  // namespace kormlink
