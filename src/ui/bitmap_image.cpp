#include "bitmap_image.h"

#include <QPainter>

namespace vantrel {

void QtMarkPainter::drawMark(Bitmap& target, MarkCentre centre, Rgb colour) {
    if (target.empty()) return;
    QImage image = WrapBitmap(target);
    QPainter painter(&image);
    const QColor c(colour.red, colour.green, colour.blue);
    const int x = centre.x, y = centre.y;
    painter.setPen(QPen(c, 1));
    painter.drawLine(x - kMarkArm, y, x + kMarkArm - 1, y);
    painter.drawLine(x, y - kMarkArm, x, y + kMarkArm - 1);
    painter.setPen(QPen(c, 3));
    painter.setBrush(Qt::NoBrush);
    painter.drawEllipse(QPoint(x, y), kMarkRadius, kMarkRadius);
}

}  // namespace vantrel
