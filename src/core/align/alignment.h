#pragma once

#include <array>
#include <string>

#include "workspace/image_slot.h"

namespace vantrel {

// Recomputes the slot's CPAngle and CPLength from its control points: on the
// sphere of view with a field of view (also its four spherical angles),
// in the image plane without one.
void SolveSlot(TImageSlot& slot, double halfFOV, double focalLengthPx);

// Texts of the alignment data grid: [row][column], rows 1..9 and columns 1..3
// filled (row 0 and column 0 hold the headings and stay empty here).
using GridTexts = std::array<std::array<std::string, 4>, 10>;

struct MasterPoints {
    int cp1X = 0, cp1Y = 0;
};

GridTexts AlignmentGridTexts(const std::array<TImageSlot, 3>& slots, MasterPoints master, double halfFOV);

// The debug window's control-point listing, one line per entry.
std::string ControlPointListing(const std::array<TImageSlot, 3>& slots);

}  // namespace vantrel
