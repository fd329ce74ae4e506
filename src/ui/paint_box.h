#pragma once

#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QWidget>
#include <functional>

namespace vantrel {

// Pointer events of a widget forwarded to handlers of the window that owns it.
template <class Base>
class PointerEvents : public Base {
public:
    using Base::Base;

    std::function<void(Qt::MouseButton, int x, int y)> onMouseDown;
    std::function<void(int x, int y)> onMouseMove;
    std::function<void(Qt::MouseButton, int x, int y)> onMouseUp;
    std::function<void()> onEnter;
    std::function<void()> onLeave;

protected:
    void mousePressEvent(QMouseEvent* e) override {
        if (onMouseDown) onMouseDown(e->button(), e->position().toPoint().x(), e->position().toPoint().y());
    }
    void mouseMoveEvent(QMouseEvent* e) override {
        if (onMouseMove) onMouseMove(e->position().toPoint().x(), e->position().toPoint().y());
    }
    void mouseReleaseEvent(QMouseEvent* e) override {
        if (onMouseUp) onMouseUp(e->button(), e->position().toPoint().x(), e->position().toPoint().y());
    }
    void enterEvent(QEnterEvent*) override {
        if (onEnter) onEnter();
    }
    void leaveEvent(QEvent*) override {
        if (onLeave) onLeave();
    }
};

// A drawing surface: the owner paints it from its own bitmap.
class PaintBox : public PointerEvents<QWidget> {
public:
    explicit PaintBox(QWidget* parent = nullptr) : PointerEvents<QWidget>(parent) {
        setMouseTracking(true);
        setAttribute(Qt::WA_OpaquePaintEvent);
    }
    std::function<void(QPainter&)> onPaint;

protected:
    void paintEvent(QPaintEvent*) override {
        QPainter painter(this);
        if (onPaint) onPaint(painter);
    }
};

// The transparent label laid over a slider's paint box; it takes the pointer.
class EventLabel : public PointerEvents<QLabel> {
public:
    explicit EventLabel(QWidget* parent = nullptr) : PointerEvents<QLabel>(parent) {
        setMouseTracking(true);
        setAttribute(Qt::WA_TranslucentBackground);
    }
};

// A slider drawn by the program: a paint box under a transparent label of the
// same width that takes the pointer (press and drag horizontally) and the
// hover. The owner draws the box and handles the label's events.
struct LabelDragSlider {
    LabelDragSlider(QWidget* parent, const QString& name, QRect box, int labelHeight) {
        paintBox = new PaintBox(parent);
        paintBox->setObjectName(name + "PaintBox");
        paintBox->setGeometry(box);
        label = new EventLabel(parent);
        label->setObjectName(name + "Label");
        label->setGeometry(box.x(), box.y(), box.width(), labelHeight);
    }
    PaintBox* paintBox;
    EventLabel* label;
};

}  // namespace vantrel
