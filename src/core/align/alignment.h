#pragma once

#include "workspace/image_slot.h"

namespace vantrel {

// Focal length in master pixels for half the field of view across the
// master's longer side; 1e9 (a practically flat projection) without one.
double FocalLengthFor(double halfFOV, int masterWidth, int masterHeight);

// Recomputes the slot's CPAngle and CPLength from its control points.
// Flat image-plane model; the spherical model comes with the camera model.
void SolveSlot(TImageSlot& slot, double halfFOV, double focalLengthPx);

}  // namespace vantrel
