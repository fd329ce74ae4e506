#pragma once

#include <QWidget>
#include <functional>

class QPainter;

namespace vantrel {

// A plain drawing surface whose paint and pointer events go to handlers of
// the window that owns it.
class PaintBox : public QWidget {
public:
    explicit PaintBox(QWidget* parent = nullptr);

    std::function<void(QPainter&)> onPaint;
    std::function<void(Qt::MouseButton, int x, int y)> onMouseDown;
    std::function<void(int x, int y)> onMouseMove;
    std::function<void(Qt::MouseButton, int x, int y)> onMouseUp;
    std::function<void()> onEnter;
    std::function<void()> onLeave;

protected:
    void paintEvent(QPaintEvent*) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void enterEvent(QEnterEvent*) override;
    void leaveEvent(QEvent*) override;
};

}  // namespace vantrel
