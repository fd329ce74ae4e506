#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"
#include "imaging/resample.h"
#include "imaging/pixel.h"

namespace vantrel {

// The window aligns this many images, numbered 1 to kSlotCount; a document
// (the command line's, a batch set's) holds up to kMaxImages, the window's
// first.
inline constexpr int kSlotCount = 3;
inline constexpr int kMaxImages = 32;

// The control points of one image and the alignment derived from them.
// Points are in source pixels, x right and y down, and real-valued: points
// found by the program sit between pixels; a hand-placed point moves by
// whole pixels from wherever it was.
struct TSlotAlignment {
    std::int32_t ImageCenterX = 0, ImageCenterY = 0;  // width div 2, height div 2
    double CP1X = 0, CP1Y = 0, CP2X = 0, CP2Y = 0;
    // Spherical angles of the points about the image centre (with a field of view).
    Extended CP1Azimuth = 0, CP1Meridian = 0, CP2Azimuth = 0, CP2Meridian = 0;
    double CPAngle = 0;   // direction of CP1 -> CP2
    double CPLength = 1;  // radians on the sphere, pixels in the plane; never 0
    double Rotation = 0;  // relative to the master
    double Scale = 1;

    bool pointsCoincide() const { return CP1X == CP2X && CP1Y == CP2Y; }
};

// One image as the renderers read it: its pixels, its alignment, the grey
// that fills where it has no pixel, and its display brightness.
struct AlignedSource {
    const Bitmap* image = nullptr;  // null: no image in this slot
    const TSlotAlignment* alignment = nullptr;
    std::int32_t luminance = 0;
    std::int32_t brightness = 0;
    const RowSpans* covered = nullptr;  // the columns of each row that are picture; null or empty: all
    // The picture at its own depth when deeper than 8 bits (`image` is then
    // its screen copy); null or empty for an 8-bit picture.
    const Bitmap* deep = nullptr;

    bool loaded() const { return image && !image->empty() && alignment; }
    // The picture's own samples, at its depth.
    const Bitmap& pixels() const { return deep && !deep->empty() ? *deep : *image; }
    // The picture at `depth`: its own samples or its screen copy. Throws
    // when it has neither at that depth.
    const Bitmap& at(SampleDepth depth) const;
};

using AlignedSources = std::vector<AlignedSource>;

}  // namespace vantrel
