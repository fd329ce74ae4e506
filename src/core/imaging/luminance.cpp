#include "imaging/luminance.h"

#include <algorithm>
#include <cstdint>
#include <mutex>
#include <vector>

#include "util/cpu.h"
#include "util/parallel.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#endif

namespace vantrel {

namespace {

// Lightness of a row of pixels; a plain loop the vectoriser handles well.
[[gnu::always_inline]] inline void RowLightnessBody(const std::uint8_t* p, int width, std::uint8_t* out) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t b = p[3 * x], g = p[3 * x + 1], r = p[3 * x + 2];
        const unsigned hi = std::max(std::max(b, g), r);
        const unsigned lo = std::min(std::min(b, g), r);
        out[x] = static_cast<std::uint8_t>((hi + lo) >> 1);
    }
}

VANTREL_TARGET_AVX2 void RowLightnessAvx2(const std::uint8_t* p, int width, std::uint8_t* out) {
    RowLightnessBody(p, width, out);
}

void RowLightness(const std::uint8_t* p, int width, std::uint8_t* out) {
    if (UseAvx2()) return RowLightnessAvx2(p, width, out);
    RowLightnessBody(p, width, out);
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define VANTREL_LIGHTNESS_VBMI 1
// Sixty-four pixels at a time: byte permutes pick each channel out of the 192
// bytes, and the halved sum of the extremes is their rounded-up average less
// the odd bit.
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) void RowLightnessVbmi(const std::uint8_t* p, int width,
                                                                             std::uint8_t* out) {
    alignas(64) std::uint8_t index[3][64];
    std::uint64_t third[3] = {0, 0, 0};  // lanes whose byte lies in the third register
    for (int k = 0; k < 3; ++k)
        for (int i = 0; i < 64; ++i) {
            index[k][i] = static_cast<std::uint8_t>(3 * i + k);
            if (3 * i + k >= 128) third[k] |= std::uint64_t{1} << i;
        }
    int x = 0;
    for (; x + 64 <= width; x += 64, p += 192) {
        const __m512i a = _mm512_loadu_si512(p), b = _mm512_loadu_si512(p + 64), c = _mm512_loadu_si512(p + 128);
        __m512i channel[3];
        for (int k = 0; k < 3; ++k) {
            const __m512i at = _mm512_load_si512(index[k]);
            channel[k] = _mm512_mask_permutexvar_epi8(_mm512_permutex2var_epi8(a, at, b), third[k], at, c);
        }
        const __m512i hi = _mm512_max_epu8(_mm512_max_epu8(channel[0], channel[1]), channel[2]);
        const __m512i lo = _mm512_min_epu8(_mm512_min_epu8(channel[0], channel[1]), channel[2]);
        const __m512i odd = _mm512_and_si512(_mm512_xor_si512(hi, lo), _mm512_set1_epi8(1));
        _mm512_storeu_si512(out + x, _mm512_sub_epi8(_mm512_avg_epu8(hi, lo), odd));
    }
    RowLightness(p, width - x, out + x);
}
#endif

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
#ifdef VANTREL_LIGHTNESS_VBMI
            if (UseAvx512())
                RowLightnessVbmi(bitmap.row(y), w, light.data());
            else
#endif
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
