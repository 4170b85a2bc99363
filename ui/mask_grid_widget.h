#pragma once

// PB: the paint area of the address mask grid, 769 x 161 pixels. It draws the grid of the
// editor model and passes the mouse to it; it holds no state of its own. A press starts a
// selection (Ctrl keeps the one there is), a drag selects the range from the press to the
// pointer, and moving the pointer updates the label beside the grid (Gl).
//
// Main thread only.

#include <QWidget>

#include <functional>

namespace kormlink {

class MaskGrid;

class MaskGridWidget final : public QWidget {
    Q_OBJECT
public:
    static constexpr int kWidth = 769;
    static constexpr int kHeight = 161;

    MaskGridWidget(MaskGrid& grid, QWidget* parent = nullptr);

    // Called after every press and move with the label text the grid gives.
    void setLabelChanged(std::function<void(const QString&)> changed) {
        m_labelChanged = std::move(changed);
    }
    QSize sizeHint() const override { return {kWidth, kHeight}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;

private:
    void changed();

    MaskGrid& m_grid;
    std::function<void(const QString&)> m_labelChanged;
};

}  // namespace kormlink
