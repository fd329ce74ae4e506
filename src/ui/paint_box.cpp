#include "paint_box.h"

#include <QMouseEvent>
#include <QPainter>

namespace vantrel {

PaintBox::PaintBox(QWidget* parent) : QWidget(parent) {
    setMouseTracking(true);
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void PaintBox::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    if (onPaint) onPaint(painter);
}

void PaintBox::mousePressEvent(QMouseEvent* event) {
    if (onMouseDown) onMouseDown(event->button(), event->position().toPoint().x(), event->position().toPoint().y());
}

void PaintBox::mouseMoveEvent(QMouseEvent* event) {
    if (onMouseMove) onMouseMove(event->position().toPoint().x(), event->position().toPoint().y());
}

void PaintBox::mouseReleaseEvent(QMouseEvent* event) {
    if (onMouseUp) onMouseUp(event->button(), event->position().toPoint().x(), event->position().toPoint().y());
}

void PaintBox::enterEvent(QEnterEvent*) {
    if (onEnter) onEnter();
}

void PaintBox::leaveEvent(QEvent*) {
    if (onLeave) onLeave();
}

}  // namespace vantrel
