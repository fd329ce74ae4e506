#pragma once

#include "imaging/draw.h"
#include "workspace/image_slot.h"

namespace vantrel {

// Nearest integer (halves to even), saturated to the 32-bit range.
int RoundToInt(double v);

// Control point marks: a cross with 20-pixel arms and a circle of radius 20.
inline constexpr int kMarkArm = 20;
inline constexpr int kMarkRadius = 20;
inline constexpr Rgb kCP1Colour{255, 0, 0};
inline constexpr Rgb kCP2Colour{0, 0, 255};

struct MarkCentre {
    int x = 0;
    int y = 0;
};

// Where a source point appears in a view of the given size centred on
// (centerX, centerY) at `zoom` source pixels per view pixel. Far-off points are
// pulled in to a distance where they still draw nothing visible.
MarkCentre ViewPosition(int sourceX, int sourceY, int centerX, int centerY, double zoom, int viewWidth,
                        int viewHeight);

// Draws a control point mark; the UI supplies one that paints with the platform.
class MarkPainter {
public:
    virtual ~MarkPainter() = default;
    virtual void drawMark(Bitmap& target, MarkCentre centre, Rgb colour) = 0;
};

// The slot's image at its zoom and centre, nearest neighbour, with the
// display brightness, marks (if a painter is given) and a black frame.
// An empty slot leaves the view untouched.
void RenderSlotView(const TImageSlot& slot, Bitmap& view, MarkPainter* marks);
void DrawCPMarks(const TImageSlot& slot, Bitmap& view, MarkPainter& marks);

// The slot's histogram with the brightness shift previewed in grey.
void RenderHistogram(const TImageSlot& slot, Bitmap& histo);

}  // namespace vantrel
