#include "align/alignment.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vantrel {

double FocalLengthFor(double halfFOV, int masterWidth, int masterHeight) {
    if (halfFOV > 0) return (std::max(masterWidth, masterHeight) / 2) / std::tan(halfFOV);
    return 1.0e9;
}

void SolveSlot(TImageSlot& slot, double /*halfFOV*/, double /*focalLengthPx*/) {
    slot.CPAngle = 0;
    slot.CPLength = 1;
    const double dx = static_cast<double>(slot.CP2X) - slot.CP1X;
    const double dy = static_cast<double>(slot.CP2Y) - slot.CP1Y;
    if (dx == 0 && dy == 0) return;
    slot.CPLength = std::hypot(dx, dy);
    if (dx == 0)
        slot.CPAngle = dy > 0 ? std::numbers::pi / 2 : -std::numbers::pi / 2;
    else
        slot.CPAngle = std::atan2(dy, dx);
}

}  // namespace vantrel
