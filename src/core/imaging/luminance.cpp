#include "imaging/luminance.h"

#include <algorithm>
#include <mutex>
#include <vector>

#include "util/parallel.h"

namespace vantrel {

namespace {

// Lightness of a row of pixels; a plain loop the vectoriser handles well.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void RowLightness(const std::uint8_t* p, int width, std::uint8_t* out) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t b = p[3 * x], g = p[3 * x + 1], r = p[3 * x + 2];
        const unsigned hi = std::max(std::max(b, g), r);
        const unsigned lo = std::min(std::min(b, g), r);
        out[x] = static_cast<std::uint8_t>((hi + lo) >> 1);
    }
}

}  // namespace

void ComputeLuminance(const Bitmap& bitmap, std::int32_t& luminance, Histogram256& histogram) {
    histogram.fill(0);
    luminance = 0;
    const int w = bitmap.width(), h = bitmap.height();
    if (w <= 0 || h <= 0) return;

    std::array<std::uint64_t, 256> total{};
    std::mutex merge;
    ParallelFor(h, 64, [&](int y0, int y1) {
        // Four interleaved tables so neighbouring equal pixels do not wait on
        // each other's increments.
        std::array<std::array<std::uint32_t, 256>, 4> counts{};
        std::vector<std::uint8_t> light(static_cast<std::size_t>(w));
        for (int y = y0; y < y1; ++y) {
            RowLightness(bitmap.row(y), w, light.data());
            const std::uint8_t* l = light.data();
            int x = 0;
            for (; x + 4 <= w; x += 4) {
                ++counts[0][l[x]];
                ++counts[1][l[x + 1]];
                ++counts[2][l[x + 2]];
                ++counts[3][l[x + 3]];
            }
            for (; x < w; ++x) ++counts[0][l[x]];
        }
        std::lock_guard lock(merge);
        for (const auto& c : counts)
            for (int i = 0; i < 256; ++i) total[i] += c[i];
    });

    // The sum of lightnesses follows from the histogram exactly.
    std::uint64_t sum = 0, count = 0;
    for (int i = 0; i < 256; ++i) {
        histogram[i] = static_cast<std::int32_t>(total[i]);
        sum += total[i] * static_cast<std::uint64_t>(i);
        count += total[i];
    }
    luminance = static_cast<std::int32_t>(sum / count);
}

}  // namespace vantrel
