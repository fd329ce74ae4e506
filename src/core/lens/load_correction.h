#pragma once

#include <cstdint>
#include <functional>

#include "imaging/bitmap.h"
#include "imaging/pixel.h"
#include "imaging/resample.h"

namespace vantrel {

// The radial correction a load applies: the overall scale and the
// coefficients of the lens model (D = 1 - (A + B + C)).
struct TLensCorrection {
    Extended LensScale = 1, LensA = 0, LensB = 0, LensC = 0, LensD = 1;

    // Scale 1 and A = B = C = 0 leave an image untouched, whatever D says.
    bool identity() const { return LensScale == 1 && LensA == 0 && LensB == 0 && LensC == 0; }
};

// Removes radial distortion from a freshly loaded image, in place. Pixels
// whose source lies outside the image become `fill` grey. `progress` gets
// 0..100 on the calling thread every fiftieth of the rows. `spare`, when
// given, lends its memory for the output (brackets share one size, and memory
// already touched saves the page faults of a fresh buffer) and gets the
// uncorrected pixels back for the next image.
// `covered`, when given, gets the columns of each row that hold picture
// (left empty when the correction is the identity).
void ApplyLensCorrection(Bitmap& image, const TLensCorrection& lens, std::uint8_t fill,
                         const std::function<void(int percent)>& progress = {}, Bitmap* spare = nullptr,
                         RowSpans* covered = nullptr);

}  // namespace vantrel
