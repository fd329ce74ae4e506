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

namespace {

void DrawMarksAtZoom(const TImageSlot& slot, double zoom, Bitmap& view, MarkPainter& marks) {
    auto at = [&](double x, double y) {
        return ViewPosition(x, y, slot.ViewCenterX, slot.ViewCenterY, zoom, view.width(), view.height());
    };
    marks.drawMark(view, at(slot.CP1X, slot.CP1Y), kCP1Colour);
    marks.drawMark(view, at(slot.CP2X, slot.CP2Y), kCP2Colour);
}

}  // namespace

void RenderSlotView(const TImageSlot& slot, Bitmap& view, MarkPainter* marks) { RenderSlotViewScaled(slot, 1, view, marks); }

void RenderSlotViewScaled(const TImageSlot& slot, double scale, Bitmap& view, MarkPainter* marks) {
    const double zoom = slot.Zoom / scale;
    if (!RenderScaledView(slot.Bitmap, slot.Brightness, slot.ViewCenterX, slot.ViewCenterY, zoom, view)) return;
    if (marks) DrawMarksAtZoom(slot, zoom, view, *marks);
    DrawFrame(view, kBlack);
}

void DrawCPMarks(const TImageSlot& slot, Bitmap& view, MarkPainter& marks) { DrawMarksAtZoom(slot, slot.Zoom, view, marks); }

void RenderHistogram(const TImageSlot& slot, Bitmap& histo) { RenderHistogramView(slot.Histogram, slot.Brightness, histo); }

}  // namespace vantrel
