#pragma once

#include <array>
#include <cstdint>

#include "imaging/bitmap.h"

namespace vantrel {

using Histogram256 = std::array<std::int32_t, 256>;

// A picture's mean HSL lightness (truncating) and its 256-bin histogram
// (all 0 where only the mean was measured).
struct Lightness {
    std::int32_t mean = 0;
    Histogram256 histogram{};
};

// Mean HSL lightness (truncating) and the 256-bin lightness histogram.
void ComputeLuminance(const Bitmap& bitmap, std::int32_t& luminance, Histogram256& histogram);

// The same mean alone, for runs that never show the histogram: summing is
// several times faster than counting.
std::int32_t MeanLightness(const Bitmap& bitmap);

}  // namespace vantrel
