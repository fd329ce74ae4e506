#include "workspace/slot_view.h"

#include "imaging/draw.h"

namespace vantrel {

void ClearSlotView(TSlotView& view) {
    view.ViewBitmap.resize(kInputViewSize.width, kInputViewSize.height);
    view.HistoBitmap.resize(kHistoBoxSize.width, kHistoBoxSize.height);
    FillFramed(view.HistoBitmap, kGrey, kBlack);
    view.SliderBitmap.resize(kSliderBoxSize.width, kSliderBoxSize.height);
    FillFramed(view.SliderBitmap, kGrey, kBlack);
}

void RenderSlotView(const TImageSlot& slot, Bitmap& view, MarkPainter* marks) {
    if (!RenderScaledView(slot.Bitmap, slot.Brightness, slot.ViewCenterX, slot.ViewCenterY, slot.Zoom, view)) return;
    if (marks) DrawCPMarks(slot, view, *marks);
    DrawFrame(view, kBlack);
}

void DrawCPMarks(const TImageSlot& slot, Bitmap& view, MarkPainter& marks) {
    auto at = [&](double x, double y) {
        return ViewPosition(x, y, slot.ViewCenterX, slot.ViewCenterY, slot.Zoom, view.width(), view.height());
    };
    marks.drawMark(view, at(slot.CP1X, slot.CP1Y), kCP1Colour);
    marks.drawMark(view, at(slot.CP2X, slot.CP2Y), kCP2Colour);
}

void RenderHistogram(const TImageSlot& slot, Bitmap& histo) { RenderHistogramView(slot.Histogram, slot.Brightness, histo); }

}  // namespace vantrel
