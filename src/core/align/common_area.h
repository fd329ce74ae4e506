#pragma once

#include <cstdint>
#include <vector>

#include "align/mapping.h"

namespace vantrel {

// A rectangle of the master's frame, in its pixels.
struct FrameRect {
    int left = 0, top = 0, width = 0, height = 0;
    bool empty() const { return width <= 0 || height <= 0; }
    bool operator==(const FrameRect&) const = default;
};

// The largest rectangle (by area; the first found, top to bottom, among
// equals) whose every cell is non-zero in a width x height mask.
FrameRect LargestRectangle(const std::vector<std::uint8_t>& mask, int width, int height);

// The largest axis-aligned rectangle of the master's frame that every
// loaded image covers at full size; empty when they share no pixel.
FrameRect CommonArea(const AlignedSources& sources, const MasterGeometry& master);

// The borders that cut the output frame down to `rect` (all zero or negative).
Borders CropBorders(const FrameRect& rect, const MasterGeometry& master);

}  // namespace vantrel
