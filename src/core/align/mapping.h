#pragma once

#include <array>
#include <functional>

#include "align/camera_model.h"
#include "align/slot_alignment.h"
#include "imaging/view_render.h"

namespace vantrel {

// The master's geometry and the camera as the renderers read them.
struct MasterGeometry {
    int index = 0;  // 0 = no master
    int width = 0, height = 0;
    int centerX = 0, centerY = 0;
    double cp1X = 0, cp1Y = 0, cp2X = 0, cp2Y = 0;
    double cp1Azimuth = 0, cp1Meridian = 0;
    double halfFOV = 0;
    double focalLengthPx = kFlatFocalLength;

    bool spherical() const { return halfFOV > 0; }
};

// Extra output around the master's frame when saving with borders.
struct Borders {
    int top = 0, left = 0, bottom = 0, right = 0;
};

// The saved images' size: the master's frame with the borders (possibly
// empty or negative when borders cut into it).
struct FrameSize {
    long long width, height;
};
inline FrameSize OutputFrameSize(const MasterGeometry& master, const Borders& borders) {
    return {static_cast<long long>(master.width) + borders.left + borders.right,
            static_cast<long long>(master.height) + borders.top + borders.bottom};
}

// What the output view shows: the master pixel at its centre and the zoom
// (master pixels per view pixel).
struct OutputViewState {
    int centerX = 0, centerY = 0;
    double zoom = 1;
};

struct SourcePosition {
    double x = -1, y = -1;
    bool valid = false;  // false behind the source camera or without an image point
};

// The spherical chain behind every mapping: a master direction as its
// distance and bearing from the master's CP1, then the direction at that
// distance (times the slot's scale) and bearing (less its rotation) from the
// slot's CP1.
struct FromMasterCP1 {
    Extended distance, bearing;
};
FromMasterCP1 RelativeToMasterCP1(const MasterGeometry& master, Extended azimuth, Extended meridian);
void SlotDirection(const TSlotAlignment& slot, const FromMasterCP1& point, Extended& azimuth, Extended& meridian);

// One output position to one source image, step by step through the camera
// model. (px, py) is relative to the reference point: the master's CP1
// without a field of view, the master's centre with one. `preview` selects
// the integer conversions of the output view (the result is then whole
// pixels); otherwise the continuous ones of the full-size render. This is the
// reference the fast renderers are tested against.
SourcePosition MapToSource(const MasterGeometry& master, const AlignedSource& source, bool isMaster, double px,
                           double py, bool preview);

// The output view: a blend of every loaded image at the view's zoom and
// centre, nearest pixel, each with its display brightness; then the master's
// control point marks (if a painter is given), the grey frame of the saved
// output (with `borders` when given) and a black outline. Does nothing when
// no slot is loaded.
void RenderPreview(const AlignedSources& sources, const MasterGeometry& master, const OutputViewState& view,
                   const Borders* borders, Bitmap& output, MarkPainter* marks);

// One image at full size in the master's frame, bilinear, for saving. The
// output must be sized (master width + left + right) x (master height + top +
// bottom); pixels whose source lies outside the image (or behind its camera)
// become grey at the image's luminance. `progress` gets 0..100 on the calling
// thread. The same bytes for any thread count.
// `coverage` (when given, width x height bytes) gets 255 for every pixel
// taken from the image and 0 for every pixel filled grey.
void WarpFullSize(const AlignedSource& source, bool isMaster, const MasterGeometry& master, const Borders& borders,
                  Bitmap& output, const std::function<void(int percent)>& progress = {},
                  std::uint8_t* coverage = nullptr);

// The same render with output pixel (x, y) taken at the bordered output
// position (step x, step y): the save dialog's reduced-scale preview.
void WarpScaled(const AlignedSource& source, bool isMaster, const MasterGeometry& master, const Borders& borders,
                double step, Bitmap& output, const std::function<void(int percent)>& progress = {},
                std::uint8_t* coverage = nullptr);

// The source positions (pixel i spanning i..i+1) the full-size render
// samples along output row y of a frame `width` wide: exact for the plane;
// on the sphere within 1/64 px of the exact ones (joined by straight lines,
// along the row and down the frame, where they bend little).
void FullSizeRowPositions(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                          const Borders& borders, int y, int width, double* xs, double* ys);

// For each pixel of the master's frame: 255 where the full-size render takes
// it from the image, 0 where it fills grey (width x height bytes).
void Coverage(const AlignedSource& source, bool isMaster, const MasterGeometry& master, std::uint8_t* coverage);

// The save dialog's reduced-scale preview of one image into `target`: the
// bordered output frame at a step that makes it about 1/1.1 of the target,
// centred; smaller frames are rendered at full resolution and stretched up.
void RenderSavePreview(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                       const Borders& borders, Bitmap& target, const std::function<void(int percent)>& progress = {});

// Full-size source positions snap to 0.00001 pixel, so that every
// instruction set gives the same bytes (the fused path is tested against the
// dividing one by capping the instruction set).
void SnapPositions(double* xs, double* ys, int count);

}  // namespace vantrel
