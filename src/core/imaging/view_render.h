#pragma once

#include "imaging/draw.h"
#include "imaging/luminance.h"

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
MarkCentre ViewPosition(double sourceX, double sourceY, int centerX, int centerY, double zoom, int viewWidth,
                        int viewHeight);

// Draws a control point mark; the UI supplies one that paints with the platform.
class MarkPainter {
public:
    virtual ~MarkPainter() = default;
    virtual void drawMark(Bitmap& target, MarkCentre centre, Rgb colour) = 0;
};

// An image at a zoom (source pixels per view pixel) about a centre, nearest
// neighbour, with a display brightness; black outside the image. An empty
// image leaves the view untouched (false).
bool RenderScaledView(const Bitmap& source, int brightness, int centerX, int centerY, double zoom, Bitmap& view);

// A histogram with the brightness shift previewed in grey.
void RenderHistogramView(const Histogram256& histogram, int brightness, Bitmap& histo);

}  // namespace vantrel
