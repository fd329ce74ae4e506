#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace vantrel {

// 80-bit extended where the platform has it.
using Extended = long double;

// Lightness of the hue-saturation-lightness model: (largest + smallest) div 2.
inline std::uint8_t PixelLightness(std::uint8_t c0, std::uint8_t c1, std::uint8_t c2) {
    const int hi = std::max({c0, c1, c2});
    const int lo = std::min({c0, c1, c2});
    return static_cast<std::uint8_t>((hi + lo) / 2);
}

// 10^(b/255): 0.1 at -255, exactly 1 at 0, 10 at 255.
inline Extended BrightnessFactor(int b) {
    return std::pow(Extended{10}, static_cast<Extended>(b + 255) / 255) / 10;
}

// Nearest integer (halves to even), clamped to 0..255.
inline std::uint8_t ClampByte(double v) {
    if (!(v > 0)) return 0;  // also catches NaN
    if (v >= 255) return 255;
    return static_cast<std::uint8_t>(std::nearbyint(v));
}

// a upper-left, b upper-right, c lower-left, d lower-right; u, v in 0.5..1.5
// measured from the upper-left sample's pixel corner.
inline double BlendBilinear(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d, double u, double v) {
    return (1.5 - u) * (1.5 - v) * a + (u - 0.5) * (1.5 - v) * b + (1.5 - u) * (v - 0.5) * c +
           (u - 0.5) * (v - 0.5) * d;
}

}  // namespace vantrel
