#pragma once

#include <functional>

#include "workspace/image_slot.h"

namespace vantrel {

// Removes radial distortion from the slot's freshly loaded image, in place,
// with the slot's own lens values. Pixels whose source lies outside the image
// become grey at the slot's Luminance. `progress` gets 0..100 on the calling
// thread every fiftieth of the rows. The identity correction (scale 1,
// A = B = C = 0) leaves the image untouched.
void ApplySlotLensCorrection(TImageSlot& slot, const std::function<void(int percent)>& progress = {});

}  // namespace vantrel
