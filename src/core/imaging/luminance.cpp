#include "imaging/luminance.h"

#include <algorithm>
#include <atomic>
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

// Lightness of a row of pixels.
[[gnu::always_inline]] inline void RowLightnessBody(const std::uint8_t* p, int width, std::uint8_t* out) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t b = p[3 * x], g = p[3 * x + 1], r = p[3 * x + 2];
        const unsigned hi = std::max(std::max(b, g), r);
        const unsigned lo = std::min(std::min(b, g), r);
        out[x] = static_cast<std::uint8_t>((hi + lo) >> 1);
    }
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
// Byte shuffles that pick channel k of sixteen pixels out of their 48 bytes
// as three 16-byte parts: from part j, the bytes that lie in it.
struct ChannelPicks {
    std::int8_t index[3][3][16];  // [channel][part][pixel]
};
constexpr ChannelPicks MakeChannelPicks() {
    ChannelPicks picks{};
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 3; ++j)
            for (int i = 0; i < 16; ++i) {
                const int at = 3 * i + k - 16 * j;
                picks.index[k][j][i] = static_cast<std::int8_t>(at >= 0 && at < 16 ? at : -1);
            }
    return picks;
}
constexpr ChannelPicks kChannelPicks = MakeChannelPicks();

// Thirty-two pixels at a time, sixteen to each 128-bit half; the halved sum
// of the extremes is their rounded-up average less the odd bit.
VANTREL_TARGET_AVX2 void RowLightnessAvx2(const std::uint8_t* p, int width, std::uint8_t* out) {
    __m256i index[3][3];
    for (int k = 0; k < 3; ++k)
        for (int j = 0; j < 3; ++j)
            index[k][j] = _mm256_broadcastsi128_si256(
                _mm_loadu_si128(reinterpret_cast<const __m128i*>(kChannelPicks.index[k][j])));
    int x = 0;
    for (; x + 32 <= width; x += 32, p += 96) {
        __m256i part[3];
        for (int j = 0; j < 3; ++j)
            part[j] = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(p + 48 + 16 * j),
                                          reinterpret_cast<const __m128i*>(p + 16 * j));
        __m256i channel[3];
        for (int k = 0; k < 3; ++k)
            channel[k] = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(part[0], index[k][0]),
                                                         _mm256_shuffle_epi8(part[1], index[k][1])),
                                         _mm256_shuffle_epi8(part[2], index[k][2]));
        const __m256i hi = _mm256_max_epu8(_mm256_max_epu8(channel[0], channel[1]), channel[2]);
        const __m256i lo = _mm256_min_epu8(_mm256_min_epu8(channel[0], channel[1]), channel[2]);
        const __m256i odd = _mm256_and_si256(_mm256_xor_si256(hi, lo), _mm256_set1_epi8(1));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + x), _mm256_sub_epi8(_mm256_avg_epu8(hi, lo), odd));
    }
    RowLightnessBody(p, width - x, out + x);
}
#else
void RowLightnessAvx2(const std::uint8_t* p, int width, std::uint8_t* out) { RowLightnessBody(p, width, out); }
#endif

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

// The lightness of one row, through the widest kernel the processor has.
void LightnessOfRow(const std::uint8_t* p, int width, std::uint8_t* out) {
#ifdef VANTREL_LIGHTNESS_VBMI
    if (UseAvx512()) return RowLightnessVbmi(p, width, out);
#endif
    RowLightness(p, width, out);
}

// In 32-bit parts, which vectorise: 2^24 bytes cannot overflow one.
[[gnu::always_inline]] inline std::uint64_t SumOfBytesBody(const std::uint8_t* p, int n) {
    std::uint64_t sum = 0;
    for (int from = 0; from < n; from += 1 << 24) {
        const int count = std::min(n - from, 1 << 24);
        std::uint32_t part = 0;
        for (int i = 0; i < count; ++i) part += p[from + i];
        sum += part;
    }
    return sum;
}
VANTREL_TARGET_AVX2 std::uint64_t SumOfBytesAvx2(const std::uint8_t* p, int n) { return SumOfBytesBody(p, n); }
std::uint64_t SumOfBytes(const std::uint8_t* p, int n) { return UseAvx2() ? SumOfBytesAvx2(p, n) : SumOfBytesBody(p, n); }

}  // namespace

std::int32_t MeanLightness(const Bitmap& bitmap) {
    const int w = bitmap.width(), h = bitmap.height();
    if (w <= 0 || h <= 0) return 0;
    std::atomic<std::uint64_t> total{0};
    ParallelFor(h, 64, [&](int y0, int y1) {
        std::vector<std::uint8_t> light(static_cast<std::size_t>(w));
        std::uint64_t sum = 0;
        for (int y = y0; y < y1; ++y) {
            LightnessOfRow(bitmap.row(y), w, light.data());
            sum += SumOfBytes(light.data(), w);
        }
        total += sum;
    });
    return static_cast<std::int32_t>(total / (static_cast<std::uint64_t>(w) * static_cast<std::uint64_t>(h)));
}

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
            LightnessOfRow(bitmap.row(y), w, light.data());
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
