#pragma once

#include <QImage>

#include "imaging/bitmap.h"
#include "imaging/view_render.h"

namespace vantrel {

// A QImage over the bitmap's own pixels, without copying. Valid while the
// bitmap is neither resized nor destroyed.
inline QImage WrapBitmap(Bitmap& bitmap) {
    return QImage(bitmap.bits(), bitmap.width(), bitmap.height(), static_cast<qsizetype>(bitmap.stride()),
                  QImage::Format_BGR888);
}
inline QImage WrapBitmap(const Bitmap& bitmap) {
    return QImage(bitmap.bits(), bitmap.width(), bitmap.height(), static_cast<qsizetype>(bitmap.stride()),
                  QImage::Format_BGR888);
}

// Control point marks painted with QPainter: a one-pixel cross whose arms
// stop one pixel short, and a circle drawn with a three-pixel pen.
class QtMarkPainter : public MarkPainter {
public:
    // Device pixels per view pixel: the mark keeps its size on the screen.
    explicit QtMarkPainter(double scale = 1) : scale_(scale) {}
    void drawMark(Bitmap& target, MarkCentre centre, Rgb colour) override;

private:
    double scale_;
};

}  // namespace vantrel
