#include "align/alignment.h"

#include <cmath>
#include <numbers>

#include "align/camera_model.h"

namespace vantrel {

namespace {
constexpr double kPi = std::numbers::pi;
}  // namespace

void SolveSlot(TSlotAlignment& slot, double halfFOV, double focalLengthPx) {
    slot.CPAngle = 0;
    slot.CPLength = 1;
    if (SphericalModelApplies(halfFOV, focalLengthPx)) {
        PointToSpherical(focalLengthPx, slot.CP1X - slot.ImageCenterX, slot.CP1Y - slot.ImageCenterY, slot.CP1Azimuth,
                         slot.CP1Meridian);
        PointToSpherical(focalLengthPx, slot.CP2X - slot.ImageCenterX, slot.CP2Y - slot.ImageCenterY, slot.CP2Azimuth,
                         slot.CP2Meridian);
        // The arc cosine of a rounded 1 is not 0: coincident points are told by their pixels.
        const Extended length =
            slot.pointsCoincide() ? 0 : SphericalDistance(slot.CP1Azimuth, slot.CP2Azimuth, slot.CP1Meridian - slot.CP2Meridian);
        slot.CPLength = static_cast<double>(length);
        slot.CPAngle = static_cast<double>(
            PairAngle(slot.CP2Azimuth, length, slot.CP1Azimuth, slot.CP1Meridian - slot.CP2Meridian));
        if (slot.CPLength == 0) slot.CPLength = 1;
        return;
    }
    // The image plane; the spherical angles keep their last values.
    const double dx = slot.CP2X - slot.CP1X;
    const double dy = slot.CP2Y - slot.CP1Y;
    if (dx == 0 && dy == 0) return;
    slot.CPLength = std::hypot(dx, dy);
    if (dx == 0)
        slot.CPAngle = dy > 0 ? kPi / 2 : -kPi / 2;
    else
        slot.CPAngle = std::atan2(dy, dx);
}

void RelateToMaster(TSlotAlignment& slot, const TSlotAlignment& master) {
    slot.Rotation = slot.CPAngle - master.CPAngle;
    slot.Scale = slot.CPLength / master.CPLength;
}

}  // namespace vantrel
