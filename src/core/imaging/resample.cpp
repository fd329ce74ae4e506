#include "imaging/resample.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 headers trip this warning on their own pass-through masks.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define VANTREL_X86_DISPATCH 1
#endif

#include "imaging/pixel.h"

namespace vantrel {
namespace {

// What the samplers need of the source besides its pixels.
struct Source {
    int w, h;
    std::uint8_t grey;
    int ahead;  // +1 or -1: the way the next output row moves through the source
};

// Where an output pixel samples the source: the four neighbours' byte offsets
// and their bilinear weights, or outside.
struct Sample {
    bool inside;
    std::size_t top, bottom;  // row offsets
    int left, right;          // byte offsets within a row
    double wa, wb, wc, wd;
};

inline Sample Locate(const Source& source, std::size_t stride, double sx, double sy) {
    Sample s{};
    s.inside = sx >= 0.5 && sx <= source.w - 0.5 && sy >= 0.5 && sy <= source.h - 0.5;
    if (!s.inside) return s;
    if (sx > 1) sx -= 0.00001;
    if (sy > 1) sy -= 0.00001;
    // sx, sy >= 0.5 here, so truncation is floor.
    const int ix = static_cast<int>(sx - 0.5);
    const int iy = static_cast<int>(sy - 0.5);
    const double u = sx - ix, v = sy - iy;
    // A 1-pixel-wide or -high image has no second column or row; its weight
    // is 0 there, so the edge is repeated instead of read past.
    s.left = ix * 3;
    s.right = std::min(ix + 1, source.w - 1) * 3;
    s.top = static_cast<std::size_t>(iy) * stride;
    s.bottom = static_cast<std::size_t>(std::min(iy + 1, source.h - 1)) * stride;
    s.wa = (1.5 - u) * (1.5 - v);
    s.wb = (u - 0.5) * (1.5 - v);
    s.wc = (1.5 - u) * (v - 0.5);
    s.wd = (u - 0.5) * (v - 0.5);
    return s;
}

// The plain sampler: the reference the vector ones must match byte for byte.
void SampleColumns(const Source& source, const Bitmap& src, const double* xs, const double* ys, int from, int count,
                   std::uint8_t* dst) {
    const std::uint8_t* base = src.bits();
    for (int x = from; x < count; ++x, dst += 3) {
        const Sample s = Locate(source, src.stride(), xs[x], ys[x]);
        if (!s.inside) {
            dst[0] = dst[1] = dst[2] = source.grey;
            continue;
        }
        const std::uint8_t* pa = base + s.top + s.left;
        const std::uint8_t* pb = base + s.top + s.right;
        const std::uint8_t* pc = base + s.bottom + s.left;
        const std::uint8_t* pd = base + s.bottom + s.right;
        for (int k = 0; k < 3; ++k)
            dst[k] = ClampByte(((s.wa * pa[k] + s.wb * pb[k]) + s.wc * pc[k]) + s.wd * pd[k]);
    }
}

#ifdef VANTREL_X86_DISPATCH
// Four bytes at each of four offsets. Plain loads: hardware gathers are slow
// on many processors.
__attribute__((target("avx2"))) inline __m128i Load4(const std::uint8_t* base, __m128i offsets) {
    alignas(16) std::int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i*>(at), offsets);
    std::int32_t v[4];
    for (int i = 0; i < 4; ++i) std::memcpy(&v[i], base + at[i], 4);
    return _mm_setr_epi32(v[0], v[1], v[2], v[3]);
}

// One colour channel of four gathered pixels, as doubles.
__attribute__((target("avx2"))) inline __m256d Channel(__m128i pixels, __m128i shift, __m128i byteMask) {
    return _mm256_cvtepi32_pd(_mm_and_si128(_mm_srl_epi32(pixels, shift), byteMask));
}

// The same arithmetic as SampleColumns, four pixels at a time: no fused
// multiply-add, truncation where the plain code truncates, and conversions
// that round halves to even like ClampByte.
__attribute__((target("avx2"))) void SampleRowAvx2(const Source& source, const Bitmap& src, const double* xs,
                                                   const double* ys, int count, std::uint8_t* dst) {
    const std::uint8_t* bytes = src.bits();
    const __m256d half = _mm256_set1_pd(0.5), oneHalf = _mm256_set1_pd(1.5), one = _mm256_set1_pd(1.0);
    const __m256d nudge = _mm256_set1_pd(0.00001);
    const __m256d maxX = _mm256_set1_pd(source.w - 0.5), maxY = _mm256_set1_pd(source.h - 0.5);
    const __m128i lastX = _mm_set1_epi32(source.w - 1), lastY = _mm_set1_epi32(source.h - 1);
    const __m128i three = _mm_set1_epi32(3), stride = _mm_set1_epi32(static_cast<int>(src.stride()));
    const __m128i byteMask = _mm_set1_epi32(0xFF), oneI = _mm_set1_epi32(1);
    const __m128i grey = _mm_set1_epi32(source.grey * 0x010101);
    const __m128i packBytes = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);

    int x = 0;
    for (; x + 4 <= count; x += 4, dst += 12) {
        __m256d sx = _mm256_loadu_pd(xs + x);
        __m256d sy = _mm256_loadu_pd(ys + x);
        const __m256d inside = _mm256_and_pd(
            _mm256_and_pd(_mm256_cmp_pd(sx, half, _CMP_GE_OQ), _mm256_cmp_pd(sx, maxX, _CMP_LE_OQ)),
            _mm256_and_pd(_mm256_cmp_pd(sy, half, _CMP_GE_OQ), _mm256_cmp_pd(sy, maxY, _CMP_LE_OQ)));
        const int insideBits = _mm256_movemask_pd(inside);
        if (insideBits == 0) {
            const __m128i greys = _mm_shuffle_epi8(grey, packBytes);
            std::memcpy(dst, &greys, 12);
            continue;
        }
        // Outside lanes sample a safe spot and are replaced by grey below.
        sx = _mm256_blendv_pd(half, sx, inside);
        sy = _mm256_blendv_pd(half, sy, inside);
        sx = _mm256_blendv_pd(sx, _mm256_sub_pd(sx, nudge), _mm256_cmp_pd(sx, one, _CMP_GT_OQ));
        sy = _mm256_blendv_pd(sy, _mm256_sub_pd(sy, nudge), _mm256_cmp_pd(sy, one, _CMP_GT_OQ));
        const __m128i ix = _mm256_cvttpd_epi32(_mm256_sub_pd(sx, half));
        const __m128i iy = _mm256_cvttpd_epi32(_mm256_sub_pd(sy, half));
        const __m256d u = _mm256_sub_pd(sx, _mm256_cvtepi32_pd(ix));
        const __m256d v = _mm256_sub_pd(sy, _mm256_cvtepi32_pd(iy));
        const __m256d u0 = _mm256_sub_pd(oneHalf, u), u1 = _mm256_sub_pd(u, half);
        const __m256d v0 = _mm256_sub_pd(oneHalf, v), v1 = _mm256_sub_pd(v, half);
        const __m256d wa = _mm256_mul_pd(u0, v0), wb = _mm256_mul_pd(u1, v0);
        const __m256d wc = _mm256_mul_pd(u0, v1), wd = _mm256_mul_pd(u1, v1);

        const __m128i left = _mm_mullo_epi32(ix, three);
        const __m128i right = _mm_mullo_epi32(_mm_min_epi32(_mm_add_epi32(ix, oneI), lastX), three);
        const __m128i top = _mm_mullo_epi32(iy, stride);
        const __m128i bottom = _mm_mullo_epi32(_mm_min_epi32(_mm_add_epi32(iy, oneI), lastY), stride);
        // The next output rows read a little further down: fetch ahead.
        _mm_prefetch(reinterpret_cast<const char*>(bytes) +
                         _mm_cvtsi128_si32(_mm_add_epi32(source.ahead > 0 ? bottom : top, left)) +
                         2 * source.ahead * static_cast<std::ptrdiff_t>(src.stride()),
                     _MM_HINT_T0);
        const __m128i pa = Load4(bytes, _mm_add_epi32(top, left));
        const __m128i pb = Load4(bytes, _mm_add_epi32(top, right));
        const __m128i pc = Load4(bytes, _mm_add_epi32(bottom, left));
        const __m128i pd = Load4(bytes, _mm_add_epi32(bottom, right));

        __m128i packed = _mm_setzero_si128();
        for (int k = 0; k < 3; ++k) {
            const __m128i shift = _mm_cvtsi32_si128(8 * k);
            __m256d acc = _mm256_mul_pd(wa, Channel(pa, shift, byteMask));
            acc = _mm256_add_pd(acc, _mm256_mul_pd(wb, Channel(pb, shift, byteMask)));
            acc = _mm256_add_pd(acc, _mm256_mul_pd(wc, Channel(pc, shift, byteMask)));
            acc = _mm256_add_pd(acc, _mm256_mul_pd(wd, Channel(pd, shift, byteMask)));
            __m128i value = _mm256_cvtpd_epi32(acc);
            value = _mm_min_epi32(_mm_max_epi32(value, _mm_setzero_si128()), byteMask);
            packed = _mm_or_si128(packed, _mm_sll_epi32(value, shift));
        }
        const __m128i laneBits = _mm_setr_epi32(1, 2, 4, 8);
        const __m128i insideLanes = _mm_cmpeq_epi32(_mm_and_si128(_mm_set1_epi32(insideBits), laneBits), laneBits);
        packed = _mm_blendv_epi8(grey, packed, insideLanes);
        packed = _mm_shuffle_epi8(packed, packBytes);
        std::memcpy(dst, &packed, 12);
    }
    SampleColumns(source, src, xs, ys, x, count, dst);
}


// Eight pixels at a time. The four source pixels of each output pixel come
// from two rows; for a smooth correction eight neighbouring output pixels
// read within ten neighbouring source pixels of one row pair, so the group
// loads 32 bytes of each row once and picks the channels out with a byte
// permute. Other groups read pixel by pixel. Same arithmetic and order as
// SampleColumns, so the bytes are identical.
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi"))) void SampleRowAvx512(
    const Source& source, const Bitmap& src, const double* xs, const double* ys, int count, std::uint8_t* dst) {
    const std::uint8_t* base = src.bits();
    const std::int32_t stride = static_cast<std::int32_t>(src.stride());
    const __m512d half = _mm512_set1_pd(0.5), oneHalf = _mm512_set1_pd(1.5), one = _mm512_set1_pd(1.0);
    const __m512d nudge = _mm512_set1_pd(0.00001);
    const __m512d maxX = _mm512_set1_pd(source.w - 0.5), maxY = _mm512_set1_pd(source.h - 0.5);
    const __m256i lastX = _mm256_set1_epi32(source.w - 1), lastY = _mm256_set1_epi32(source.h - 1);
    const __m256i oneI = _mm256_set1_epi32(1), three = _mm256_set1_epi32(3);
    const __m256i byteMask = _mm256_set1_epi32(0xFF), zero = _mm256_setzero_si256();
    const __m256i grey = _mm256_set1_epi32(source.grey * 0x010101);
    const __m256i packBytes = _mm256_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1, 0, 1, 2, 4,
                                               5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);

    int x = 0;
    for (; x + 8 <= count; x += 8, dst += 24) {
        __m512d sx = _mm512_loadu_pd(xs + x);
        __m512d sy = _mm512_loadu_pd(ys + x);
        const __mmask8 inside = _mm512_cmp_pd_mask(sx, half, _CMP_GE_OQ) & _mm512_cmp_pd_mask(sx, maxX, _CMP_LE_OQ) &
                                _mm512_cmp_pd_mask(sy, half, _CMP_GE_OQ) & _mm512_cmp_pd_mask(sy, maxY, _CMP_LE_OQ);
        __m256i packed = grey;
        if (inside) {
            // Outside lanes sample a safe spot and are replaced by grey below.
            sx = _mm512_mask_blend_pd(inside, half, sx);
            sy = _mm512_mask_blend_pd(inside, half, sy);
            sx = _mm512_mask_sub_pd(sx, _mm512_cmp_pd_mask(sx, one, _CMP_GT_OQ), sx, nudge);
            sy = _mm512_mask_sub_pd(sy, _mm512_cmp_pd_mask(sy, one, _CMP_GT_OQ), sy, nudge);
            const __m256i ix = _mm512_cvttpd_epi32(_mm512_sub_pd(sx, half));
            const __m256i iy = _mm512_cvttpd_epi32(_mm512_sub_pd(sy, half));
            const __m512d u = _mm512_sub_pd(sx, _mm512_cvtepi32_pd(ix));
            const __m512d v = _mm512_sub_pd(sy, _mm512_cvtepi32_pd(iy));
            const __m512d u0 = _mm512_sub_pd(oneHalf, u), u1 = _mm512_sub_pd(u, half);
            const __m512d v0 = _mm512_sub_pd(oneHalf, v), v1 = _mm512_sub_pd(v, half);
            const __m512d w[4] = {_mm512_mul_pd(u0, v0), _mm512_mul_pd(u1, v0), _mm512_mul_pd(u0, v1),
                                  _mm512_mul_pd(u1, v1)};
            const __m256i ix1 = _mm256_min_epi32(_mm256_add_epi32(ix, oneI), lastX);
            const __m256i iy1 = _mm256_min_epi32(_mm256_add_epi32(iy, oneI), lastY);

            // Channel k of corner c (upper-left, upper-right, lower-left, lower-right) per lane.
            __m256i channel[4][3];
            // Rows curve across the image, so a group may straddle two rows.
            const std::int32_t rowA = _mm256_cvtsi256_si32(iy), rowB = _mm256_extract_epi32(iy, 7);
            const __mmask8 onB = _mm256_cmpeq_epi32_mask(iy, _mm256_set1_epi32(rowB)) & ~_mm256_cmpeq_epi32_mask(iy, _mm256_set1_epi32(rowA));
            const bool twoRows = (_mm256_cmpeq_epi32_mask(iy, _mm256_set1_epi32(rowA)) | onB) == 0xFF;
            const __m256i firstX = _mm256_set1_epi32(_mm256_cvtsi256_si32(ix));
            const __m256i leftAt = _mm256_sub_epi32(ix, firstX), rightAt = _mm256_sub_epi32(ix1, firstX);
            // The 32 loaded bytes of a row hold ten pixels.
            const bool near = _mm256_cmpgt_epu32_mask(_mm256_max_epu32(leftAt, rightAt), _mm256_set1_epi32(9)) == 0;
            if (twoRows && near) {
                const std::size_t first = static_cast<std::size_t>(_mm256_cvtsi256_si32(ix)) * 3;
                const std::uint8_t* at = base + first;
                const std::size_t rows[4] = {static_cast<std::size_t>(rowA), static_cast<std::size_t>(std::min(rowA + 1, source.h - 1)),
                                             static_cast<std::size_t>(rowB), static_cast<std::size_t>(std::min(rowB + 1, source.h - 1))};
                // The next output rows read a little further down: fetch ahead.
                const std::ptrdiff_t next = source.ahead > 0 ? static_cast<std::ptrdiff_t>(rows[1]) + 2
                                                             : static_cast<std::ptrdiff_t>(rows[0]) - 2;
                _mm_prefetch(reinterpret_cast<const char*>(at) + next * stride, _MM_HINT_T0);
                const __m256i upperA = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + rows[0] * stride));
                const __m256i lowerA = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + rows[1] * stride));
                const __m256i upperB = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + rows[2] * stride));
                const __m256i lowerB = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + rows[3] * stride));
                const __m256i leftByte = _mm256_mullo_epi32(leftAt, three);
                const __m256i rightByte = _mm256_mullo_epi32(rightAt, three);
                constexpr __mmask32 kLowBytes = 0x11111111;  // byte 0 of each lane; the rest become 0
                for (int k = 0; k < 3; ++k) {
                    const __m256i kk = _mm256_set1_epi32(k);
                    const __m256i l = _mm256_add_epi32(leftByte, kk), r = _mm256_add_epi32(rightByte, kk);
                    channel[0][k] = _mm256_maskz_permutexvar_epi8(kLowBytes, l, upperA);
                    channel[1][k] = _mm256_maskz_permutexvar_epi8(kLowBytes, r, upperA);
                    channel[2][k] = _mm256_maskz_permutexvar_epi8(kLowBytes, l, lowerA);
                    channel[3][k] = _mm256_maskz_permutexvar_epi8(kLowBytes, r, lowerA);
                    if (onB) {
                        channel[0][k] = _mm256_mask_blend_epi32(onB, channel[0][k], _mm256_maskz_permutexvar_epi8(kLowBytes, l, upperB));
                        channel[1][k] = _mm256_mask_blend_epi32(onB, channel[1][k], _mm256_maskz_permutexvar_epi8(kLowBytes, r, upperB));
                        channel[2][k] = _mm256_mask_blend_epi32(onB, channel[2][k], _mm256_maskz_permutexvar_epi8(kLowBytes, l, lowerB));
                        channel[3][k] = _mm256_mask_blend_epi32(onB, channel[3][k], _mm256_maskz_permutexvar_epi8(kLowBytes, r, lowerB));
                    }
                }
            } else {
                const __m256i left = _mm256_mullo_epi32(ix, three), right = _mm256_mullo_epi32(ix1, three);
                const __m256i top = _mm256_mullo_epi32(iy, _mm256_set1_epi32(stride));
                const __m256i bottom = _mm256_mullo_epi32(iy1, _mm256_set1_epi32(stride));
                const __m256i offsets[4] = {_mm256_add_epi32(top, left), _mm256_add_epi32(top, right),
                                            _mm256_add_epi32(bottom, left), _mm256_add_epi32(bottom, right)};
                for (int c = 0; c < 4; ++c) {
                    alignas(32) std::int32_t at[8], pixel[8];
                    _mm256_store_si256(reinterpret_cast<__m256i*>(at), offsets[c]);
                    for (int i = 0; i < 8; ++i) std::memcpy(&pixel[i], base + at[i], 4);
                    const __m256i p = _mm256_load_si256(reinterpret_cast<const __m256i*>(pixel));
                    for (int k = 0; k < 3; ++k)
                        channel[c][k] = _mm256_and_si256(_mm256_srli_epi32(p, 8 * k), byteMask);
                }
            }

            __m256i result = zero;
            for (int k = 0; k < 3; ++k) {
                __m512d acc = _mm512_mul_pd(w[0], _mm512_cvtepi32_pd(channel[0][k]));
                acc = _mm512_add_pd(acc, _mm512_mul_pd(w[1], _mm512_cvtepi32_pd(channel[1][k])));
                acc = _mm512_add_pd(acc, _mm512_mul_pd(w[2], _mm512_cvtepi32_pd(channel[2][k])));
                acc = _mm512_add_pd(acc, _mm512_mul_pd(w[3], _mm512_cvtepi32_pd(channel[3][k])));
                __m256i value = _mm512_cvtpd_epi32(acc);  // rounds halves to even
                value = _mm256_min_epi32(_mm256_max_epi32(value, zero), byteMask);
                result = _mm256_or_si256(result, _mm256_slli_epi32(value, 8 * k));
            }
            packed = _mm256_mask_blend_epi32(inside, grey, result);
        }
        const __m256i bytes = _mm256_shuffle_epi8(packed, packBytes);
        std::memcpy(dst, &bytes, 12);
        const __m128i high = _mm256_extracti128_si256(bytes, 1);
        std::memcpy(dst + 12, &high, 12);
    }
    SampleColumns(source, src, xs, ys, x, count, dst);
}

bool HasAvx512() {
    static const bool has = __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512vl") &&
                            __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512dq") &&
                            __builtin_cpu_supports("avx512vbmi");
    return has;
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

ResampleKernel g_widest = ResampleKernel::Widest;

}  // namespace

void SetResampleKernelForTesting(ResampleKernel widest) { g_widest = widest; }

void ResampleRow(const Bitmap& src, const double* xs, const double* ys, int count, std::uint8_t grey,
                 std::uint8_t* dst, int nextRowStep) {
    const Source source{src.width(), src.height(), grey, nextRowStep >= 0 ? 1 : -1};
#ifdef VANTREL_X86_DISPATCH
    if (g_widest >= ResampleKernel::Widest && HasAvx512()) return SampleRowAvx512(source, src, xs, ys, count, dst);
    if (g_widest >= ResampleKernel::Avx2 && HasAvx2()) return SampleRowAvx2(source, src, xs, ys, count, dst);
#endif
    SampleColumns(source, src, xs, ys, 0, count, dst);
}

}  // namespace vantrel
