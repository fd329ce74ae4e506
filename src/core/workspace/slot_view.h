#pragma once

#include "imaging/bitmap.h"
#include "imaging/view_render.h"
#include "workspace/image_slot.h"

namespace vantrel {

struct BoxSize {
    int width = 0;
    int height = 0;
};

// Sizes of the main window's per-slot boxes and of the output view.
inline constexpr BoxSize kInputViewSize{281, 281};
inline constexpr BoxSize kHistoBoxSize{97, 41};
inline constexpr BoxSize kSliderBoxSize{97, 25};
inline constexpr BoxSize kOutputViewSize{444, 301};

// What the window draws for one slot, each bitmap its box's size.
struct TSlotView {
    Bitmap ViewBitmap, HistoBitmap, SliderBitmap;
};

// A black view and grey histogram and slider backgrounds, sized to their boxes.
void ClearSlotView(TSlotView& view);

// The slot's image at its zoom and centre, nearest neighbour, with the
// display brightness, marks (if a painter is given) and a black frame.
// An empty slot leaves the view untouched.
void RenderSlotView(const TImageSlot& slot, Bitmap& view, MarkPainter* marks);
void DrawCPMarks(const TImageSlot& slot, Bitmap& view, MarkPainter& marks);
// The same view for a screen of `scale` device pixels per view pixel: the
// same part of the image into a `view` that many times larger, so nothing
// is drawn at view pixels and blown up.
void RenderSlotViewScaled(const TImageSlot& slot, double scale, Bitmap& view, MarkPainter* marks);

// The slot's histogram with the brightness shift previewed in grey.
void RenderHistogram(const TImageSlot& slot, Bitmap& histo);

}  // namespace vantrel
