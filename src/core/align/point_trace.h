#pragma once

#include <array>
#include <string>

#include "align/mapping.h"

namespace vantrel {

// The spherical mapping of one output-view pixel traced step by step, as the
// debug window lists it, with each image's colour at its mapped position.
struct PointTrace {
    int masterX = 0, masterY = 0;
    double azimuth = 0, meridian = 0, length = 0, angle = 0;  // degrees
    std::array<double, kSlotCount> sourceAzimuth{}, sourceMeridian{};  // degrees
    std::array<int, kSlotCount> sourceX{}, sourceY{};
    std::array<std::array<int, 3>, kSlotCount> rgb{};  // per slot: red, green, blue; 255s outside
    std::string listing;                               // ImageDataMemo, one line each
    std::array<std::string, kSlotCount> colourText;    // Image1rgbMemo..Image3rgbMemo
};

PointTrace InspectPoint(const AlignedSources& sources, const MasterGeometry& master,
                        const OutputViewState& view, int viewWidth, int viewHeight, int x, int y);

}  // namespace vantrel
