#pragma once

#include <functional>

#include "imaging/bitmap.h"
#include "imaging/pixel.h"

namespace vantrel {

// The lens window's radial distortion model: the distance of an output pixel
// from the image centre is multiplied by k = A r^3 + B r^2 + C r + D, with r
// that distance over the normalising radius and D = 1 - (A + B + C), so the
// circle of that radius stays in place. Nearest-pixel sampling.
struct LensModel {
    Extended CoeffA = 0, CoeffB = 0, CoeffC = 0, CoeffD = 1;
    Extended OverallScale = 1;
    Extended PreviewRotation = 0;  // radians, the preview only
    int CentreX = 0, CentreY = 0;
    int NormRadius = 1;
    int FillLevel = 0;

    void UpdateCoeffD() { CoeffD = 1 - (CoeffA + CoeffB + CoeffC); }
    // Centre, radius and fill level of a freshly opened image.
    void MeasureImage(const Bitmap& source);
};

// min(width, height) div 2.
int ComputeNormRadius(const Bitmap& bitmap);
// Mean HSL lightness, 0 for an empty bitmap.
int ComputeFillLevel(const Bitmap& bitmap);

// The source pixel shown by the output pixel at offset (dx, dy) from the
// centre (already multiplied by the overall scale); not bounds-checked.
void MapOutputToSource(const LensModel& model, int dx, int dy, int& sx, int& sy);

// The corrected image at full size (no rotation); pixels whose source lies
// outside the image get the fill level. `destination` is sized like `source`.
void CorrectFullImage(const LensModel& model, const Bitmap& source, Bitmap& destination);

// What the lens window shows: the source at its zoom and centre through the
// model (and the preview rotation), black outside the image, the grey outline
// of the output image, the grid when asked for and a black border.
// `plain` gets a copy without the grid when the grid is on.
struct LensView {
    int centreX = 0, centreY = 0;
    double zoom = 1;  // source pixels per view pixel, before the overall scale
    bool grid = false;
};
void RenderLensPreview(const LensModel& model, const Bitmap& source, const LensView& view, Bitmap& preview,
                       Bitmap& plain);

// Dark green lines 50 view pixels apart through the view centre.
void DrawViewGrid(Bitmap& bitmap);
// `fresh` becomes `stored` shifted by (dx, dy) over black, with the grid (when
// on) and the border: what the view shows while it is dragged.
void DrawPanFrame(int dx, int dy, const Bitmap& stored, Bitmap& fresh, bool grid);

}  // namespace vantrel
