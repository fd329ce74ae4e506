#pragma once

#include "align/slot_alignment.h"

namespace vantrel {

// Recomputes the slot's CPAngle and CPLength from its control points: on the
// sphere of view when the field of view allows it (also its four spherical
// angles), in the image plane otherwise.
void SolveSlot(TSlotAlignment& slot, double halfFOV, double focalLengthPx);

// Rotation and scale that carry the master's pair onto this one's.
void RelateToMaster(TSlotAlignment& slot, const TSlotAlignment& master);

}  // namespace vantrel
