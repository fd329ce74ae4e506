#include "bitmap_image.h"

#include <QPainter>

namespace vantrel {

void QtMarkPainter::drawMark(Bitmap& target, MarkCentre centre, Rgb colour) {
    if (target.empty()) return;
    QImage image = WrapBitmap(target);
    QPainter painter(&image);
    const QColor c(colour.red, colour.green, colour.blue);
    const int x = centre.x, y = centre.y;
    if (scale_ != 1) {
        // On a dense screen: the same mark drawn finely, at the screen's pixels.
        painter.setRenderHint(QPainter::Antialiasing);
        const double arm = kMarkArm * scale_;
        painter.setPen(QPen(c, scale_));
        painter.drawLine(QPointF(x - arm, y), QPointF(x + arm, y));
        painter.drawLine(QPointF(x, y - arm), QPointF(x, y + arm));
        painter.setPen(QPen(c, 3 * scale_));
        painter.setBrush(Qt::NoBrush);
        painter.drawEllipse(QPointF(x, y), kMarkRadius * scale_, kMarkRadius * scale_);
        return;
    }
    painter.setPen(QPen(c, 1));
    painter.drawLine(x - kMarkArm, y, x + kMarkArm - 1, y);
    painter.drawLine(x, y - kMarkArm, x, y + kMarkArm - 1);
    painter.setPen(QPen(c, 3));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPoint(x, y), kMarkRadius, kMarkRadius);
}

}  // namespace vantrel
