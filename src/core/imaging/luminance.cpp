#include "imaging/luminance.h"

#include <algorithm>
#include <mutex>

#include "util/parallel.h"

namespace vantrel {

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
        for (int y = y0; y < y1; ++y) {
            const std::uint8_t* p = bitmap.row(y);
            int x = 0;
            auto lightness = [](const std::uint8_t* q) {
                const unsigned hi = std::max({q[0], q[1], q[2]});
                const unsigned lo = std::min({q[0], q[1], q[2]});
                return (hi + lo) >> 1;
            };
            for (; x + 4 <= w; x += 4, p += 12) {
                ++counts[0][lightness(p)];
                ++counts[1][lightness(p + 3)];
                ++counts[2][lightness(p + 6)];
                ++counts[3][lightness(p + 9)];
            }
            for (; x < w; ++x, p += 3) ++counts[0][lightness(p)];
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
