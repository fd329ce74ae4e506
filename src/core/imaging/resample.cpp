#include "imaging/resample.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <type_traits>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#if defined(__GNUC__) && !defined(__clang__)
// GCC 12's AVX-512 headers trip this warning on their own pass-through masks.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#endif
#include <immintrin.h>
#define VANTREL_X86_DISPATCH 1
#endif

#include "imaging/pixel.h"
#include "util/cpu.h"

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

// Source positions stored by the caller.
struct StoredPositions {
    const double* xs;
    const double* ys;
    double x(int i) const { return xs[i]; }
    double y(int i) const { return ys[i]; }
};

// Positions of a radial correction, made where they are sampled: pixel i
// sits at (dxs[i] f[i] + cx, dy f[i] + cy).
struct RadialPositions {
    const double* dxs;
    const double* f;
    double dy, cx, cy;
    double x(int i) const { return dxs[i] * f[i] + cx; }
    double y(int i) const { return dy * f[i] + cy; }
};

// Radial factors of a whole row. Offsets from the centre are exact
// half-integers times the scale, so a mirrored column has exactly the negated
// offset and the same factor: the left half is computed, in a plain loop the
// vectoriser turns into packed square roots and divisions (which round
// exactly like scalar ones), and mirrored.
[[gnu::always_inline]] inline void RowFactorsBody(const RadialCorrection& lens, int w, const double* dxs, double dy,
                                                  double* f) {
    // Locals, so stores to f cannot be taken to change the lens values.
    const double radius = lens.radius, a = lens.a, b = lens.b, c = lens.c, d = lens.d;
    const int half = (w + 1) / 2;
    for (int x = 0; x < half; ++x) {
        const double dx = dxs[x];
        const double r = std::sqrt(dx * dx + dy * dy) / radius;
        const double r2 = r * r;
        const double p = a * r2 * r2 + b * r2 * r + c * r2 + d * r;
        const double ratio = p / (r == 0 ? 1.0 : r);  // no division by zero, so the loop vectorises
        f[x] = r == 0 ? 1.0 : ratio;
    }
    for (int x = 0; x < half; ++x) f[w - 1 - x] = f[x];
}

VANTREL_TARGET_AVX2 void RowFactorsAvx2(const RadialCorrection& lens, int w, const double* dxs, double dy, double* f) {
    RowFactorsBody(lens, w, dxs, dy, f);
}

void RowFactors(const RadialCorrection& lens, int w, const double* dxs, double dy, double* f) {
    if (UseAvx2()) return RowFactorsAvx2(lens, w, dxs, dy, f);
    RowFactorsBody(lens, w, dxs, dy, f);
}

// Whether a position is sampled (else filled): the one rule of every kernel.
inline bool Inside(int w, int h, double sx, double sy) {
    return sx >= 0.5 && sx <= w - 0.5 && sy >= 0.5 && sy <= h - 0.5;
}

inline Sample Locate(const Source& source, std::size_t stride, double sx, double sy) {
    Sample s{};
    s.inside = Inside(source.w, source.h, sx, sy);
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
template <class Positions>
void SampleColumns(const Source& source, const Bitmap& src, const Positions& at, int from, int count,
                   std::uint8_t* dst) {
    const std::uint8_t* base = src.bits();
    for (int x = from; x < count; ++x, dst += 3) {
        const Sample s = Locate(source, src.stride(), at.x(x), at.y(x));
        if (!s.inside) {
            dst[0] = dst[1] = dst[2] = source.grey;
            continue;
        }
        const std::uint8_t* pa = base + s.top + s.left;
        const std::uint8_t* pb = base + s.top + s.right;
        const std::uint8_t* pc = base + s.bottom + s.left;
        const std::uint8_t* pd = base + s.bottom + s.right;
        for (int k = 0; k < 3; ++k) dst[k] = ClampByte(((s.wa * pa[k] + s.wb * pb[k]) + s.wc * pc[k]) + s.wd * pd[k]);
    }
}

// Deep samples (16-bit, float) by the same rule of which positions are
// sampled, with the far edge taken exactly rather than nudged in: a nudge of
// 0.00001 px would move a 16-bit sample by up to two thirds of a step. They
// blend in single precision, which holds 16 bits with room to spare, in one
// order that the vector kernel repeats exactly.
struct DeepSample {
    std::size_t upper, lower;  // offsets, in samples, of the upper-left and lower-left neighbours
    std::size_t right;         // samples from a left neighbour to its right one (0 in a 1-pixel-wide image)
    float u, v;                // 0..1 toward the right and lower neighbours
};

inline DeepSample LocateDeep(int w, int h, std::size_t stride, double sx, double sy) {
    const int ix = std::min(static_cast<int>(sx - 0.5), std::max(0, w - 2));
    const int iy = std::min(static_cast<int>(sy - 0.5), std::max(0, h - 2));
    DeepSample s;
    s.upper = static_cast<std::size_t>(iy) * stride + 3 * static_cast<std::size_t>(ix);
    s.lower = h > 1 ? s.upper + stride : s.upper;
    s.right = w > 1 ? 3 : 0;
    s.u = static_cast<float>(sx - ix - 0.5);
    s.v = static_cast<float>(sy - iy - 0.5);
    return s;
}

template <class T>
T DeepGrey(std::uint8_t grey) {
    if constexpr (std::is_same_v<T, float>)
        return grey / 255.0f;
    else
        return static_cast<T>(grey * 257);
}

template <class T>
T DeepValue(float value) {
    if constexpr (std::is_same_v<T, float>)
        return value;
    else
        return static_cast<T>(value <= 0 ? 0 : value >= 65535 ? 65535 : std::nearbyint(value));
}

template <class T, class Positions>
void SampleColumnsDeep(const Bitmap& src, const Positions& at, int from, int count, std::uint8_t grey, T* dst) {
    const int w = src.width(), h = src.height();
    const std::size_t stride = src.stride() / sizeof(T);
    const T* base = reinterpret_cast<const T*>(src.bits());
    for (int i = from; i < count; ++i) {
        T* out = dst + 3 * static_cast<std::size_t>(i);
        const double sx = at.x(i), sy = at.y(i);
        if (!Inside(w, h, sx, sy)) {
            out[0] = out[1] = out[2] = DeepGrey<T>(grey);
            continue;
        }
        const DeepSample s = LocateDeep(w, h, stride, sx, sy);
        const T* a = base + s.upper;
        const T* c = base + s.lower;
        for (int k = 0; k < 3; ++k) {
            const float top = static_cast<float>(a[k]) + s.u * (static_cast<float>(a[k + s.right]) - static_cast<float>(a[k]));
            const float bottom = static_cast<float>(c[k]) + s.u * (static_cast<float>(c[k + s.right]) - static_cast<float>(c[k]));
            out[k] = DeepValue<T>(top + s.v * (bottom - top));
        }
    }
}

#ifdef VANTREL_X86_DISPATCH
// Four samples from `p` as floats.
template <class T>
__attribute__((target("avx2,fma"), always_inline)) inline __m128 LoadDeep4(const T* p) {
    if constexpr (std::is_same_v<T, float>)
        return _mm_loadu_ps(p);
    else
        return _mm_cvtepi32_ps(_mm_cvtepu16_epi32(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
}

// Two neighbouring pixels blended in the two halves of a register, their
// upper-left neighbours at `upper`, the plain sampler's steps in its order.
template <class T>
__attribute__((target("avx2,fma"), always_inline)) inline void BlendDeepPair(const T* base, std::size_t stride, T* out,
                                                                            std::size_t upper0, std::size_t upper1,
                                                                            __m256 u, __m256 v) {
    const T* p0 = base + upper0;
    const T* p1 = base + upper1;
    const __m256 a = _mm256_set_m128(LoadDeep4(p1), LoadDeep4(p0));
    const __m256 b = _mm256_set_m128(LoadDeep4(p1 + 3), LoadDeep4(p0 + 3));
    const __m256 c = _mm256_set_m128(LoadDeep4(p1 + stride), LoadDeep4(p0 + stride));
    const __m256 d = _mm256_set_m128(LoadDeep4(p1 + stride + 3), LoadDeep4(p0 + stride + 3));
    const __m256 top = _mm256_add_ps(a, _mm256_mul_ps(u, _mm256_sub_ps(b, a)));
    const __m256 bottom = _mm256_add_ps(c, _mm256_mul_ps(u, _mm256_sub_ps(d, c)));
    const __m256 value = _mm256_add_ps(top, _mm256_mul_ps(v, _mm256_sub_ps(bottom, top)));
    if constexpr (std::is_same_v<T, float>) {
        _mm_storeu_ps(out, _mm256_castps256_ps128(value));
        _mm_storeu_ps(out + 3, _mm256_extractf128_ps(value, 1));
    } else {
        const __m256i whole = _mm256_cvtps_epi32(value);  // nearest, halves to even
        const __m256i words = _mm256_packus_epi32(whole, whole);
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out), _mm256_castsi256_si128(words));
        _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 3), _mm256_extracti128_si256(words, 1));
    }
}

// Four pixels at a time in the vector unit, two in each register: a neighbour's
// three samples (and one to spare) in a load, blended by the plain
// sampler's steps in the same order, so the bytes are the same.
template <class T, class Positions>
VANTREL_TARGET_AVX2 void SampleColumnsDeepAvx2(const Bitmap& src, const Positions& at, int count, std::uint8_t grey,
                                               int ahead, T* dst) {
    const int w = src.width(), h = src.height();
    if (w < 2 || h < 2) return SampleColumnsDeep(src, at, 0, count, grey, dst);
    const std::size_t stride = src.stride() / sizeof(T);
    const T* base = reinterpret_cast<const T*>(src.bits());
    // The next output row reads the source row beyond these two: fetched
    // now, it is in the cache when that row comes (a turned row crosses
    // many source rows in short pieces, which no hardware prefetch foresees).
    const std::ptrdiff_t nextRow = ahead >= 0 ? 2 * static_cast<std::ptrdiff_t>(stride) : -static_cast<std::ptrdiff_t>(stride);
    const T* last = base + stride * static_cast<std::size_t>(h - 1);
    const __m256d low = _mm256_set1_pd(0.5), half = _mm256_set1_pd(0.5);
    const __m256d highX = _mm256_set1_pd(w - 0.5), highY = _mm256_set1_pd(h - 0.5);
    const __m128i lastX = _mm_set1_epi32(w - 2), lastY = _mm_set1_epi32(h - 2);
    const __m128i rowStride = _mm_set1_epi32(static_cast<int>(stride)), three = _mm_set1_epi32(3);
    const __m256i firstTwo = _mm256_setr_epi32(0, 0, 0, 0, 1, 1, 1, 1), lastTwo = _mm256_setr_epi32(2, 2, 2, 2, 3, 3, 3, 3);
    int i = 0;
    // Four at a time, where all four sample the picture. Each store writes a
    // sample past its pixel, which the next one rewrites: the last pixel
    // goes the plain way.
    while (i + 4 < count) {
        __m256d sx = _mm256_set_pd(at.x(i + 3), at.x(i + 2), at.x(i + 1), at.x(i));
        __m256d sy = _mm256_set_pd(at.y(i + 3), at.y(i + 2), at.y(i + 1), at.y(i));
        const __m256d inside = _mm256_and_pd(_mm256_and_pd(_mm256_cmp_pd(sx, low, _CMP_GE_OQ), _mm256_cmp_pd(sx, highX, _CMP_LE_OQ)),
                                             _mm256_and_pd(_mm256_cmp_pd(sy, low, _CMP_GE_OQ), _mm256_cmp_pd(sy, highY, _CMP_LE_OQ)));
        if (_mm256_movemask_pd(inside) != 0xF) {
            SampleColumnsDeep(src, at, i, i + 1, grey, dst);
            ++i;
            continue;
        }
        const __m128i ix = _mm_min_epi32(_mm256_cvttpd_epi32(_mm256_sub_pd(sx, half)), lastX);
        const __m128i iy = _mm_min_epi32(_mm256_cvttpd_epi32(_mm256_sub_pd(sy, half)), lastY);
        const __m128 u4 = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_sub_pd(sx, _mm256_cvtepi32_pd(ix)), half));
        const __m128 v4 = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_sub_pd(sy, _mm256_cvtepi32_pd(iy)), half));
        alignas(16) std::int32_t offsets[4];
        _mm_store_si128(reinterpret_cast<__m128i*>(offsets), _mm_add_epi32(_mm_mullo_epi32(iy, rowStride), _mm_mullo_epi32(ix, three)));
        const std::size_t upper[4] = {static_cast<std::size_t>(offsets[0]), static_cast<std::size_t>(offsets[1]),
                                      static_cast<std::size_t>(offsets[2]), static_cast<std::size_t>(offsets[3])};
        for (std::size_t k = 0; k < 4; ++k)
            if (const T* next = base + upper[k] + nextRow; next >= base && next <= last)
                _mm_prefetch(reinterpret_cast<const char*>(next), _MM_HINT_T0);
        const __m256 u = _mm256_castps128_ps256(u4), v = _mm256_castps128_ps256(v4);
        T* out = dst + 3 * static_cast<std::size_t>(i);
        BlendDeepPair(base, stride, out, upper[0], upper[1], _mm256_permutevar8x32_ps(u, firstTwo),
                      _mm256_permutevar8x32_ps(v, firstTwo));
        BlendDeepPair(base, stride, out + 6, upper[2], upper[3], _mm256_permutevar8x32_ps(u, lastTwo),
                      _mm256_permutevar8x32_ps(v, lastTwo));
        i += 4;
    }
    SampleColumnsDeep(src, at, i, count, grey, dst);
}
#endif

template <class Positions>
void SampleDeep(const Bitmap& src, const Positions& at, int count, std::uint8_t grey, std::uint8_t* dst,
                int ahead = 1) {
#ifdef VANTREL_X86_DISPATCH
    if (UseAvx2()) {
        if (src.depth() == SampleDepth::U16)
            return SampleColumnsDeepAvx2(src, at, count, grey, ahead, reinterpret_cast<std::uint16_t*>(dst));
        return SampleColumnsDeepAvx2(src, at, count, grey, ahead, reinterpret_cast<float*>(dst));
    }
#endif
    if (src.depth() == SampleDepth::U16)
        SampleColumnsDeep(src, at, 0, count, grey, reinterpret_cast<std::uint16_t*>(dst));
    else
        SampleColumnsDeep(src, at, 0, count, grey, reinterpret_cast<float*>(dst));
}

#ifdef VANTREL_X86_DISPATCH
// A group the vector samplers leave: grey when every pixel is outside, else
// the plain sampler on its positions.
inline void SampleGroupPlainly(const Source& source, const Bitmap& src, bool allOutside, const double* xs,
                               const double* ys, int count, std::uint8_t* dst) {
    if (allOutside)
        std::memset(dst, source.grey, 3 * static_cast<std::size_t>(count));
    else
        SampleColumns(source, src, StoredPositions{xs, ys}, 0, count, dst);
}

// Positions of four or eight pixels from x on.
VANTREL_TARGET_AVX2 inline void Load(const StoredPositions& at, int x, __m256d& sx, __m256d& sy) {
    sx = _mm256_loadu_pd(at.xs + x);
    sy = _mm256_loadu_pd(at.ys + x);
}
__attribute__((target("avx512f"))) inline void Load(const StoredPositions& at, int x, __m512d& sx, __m512d& sy) {
    sx = _mm512_loadu_pd(at.xs + x);
    sy = _mm512_loadu_pd(at.ys + x);
}

#define VANTREL_AVX2 __attribute__((target("avx2,fma"), always_inline)) inline

// The four-pixel sampler below works one pixel per 64-bit lane, pixels 0 and
// 1 in the low 128 bits and 2 and 3 in the high ones. Each half loads 16
// bytes of its source rows at its first pixel's left neighbour and shuffles
// every channel straight into its lane. Where a half's second pixel sits a
// row up or down (a turned picture), its rows are read too, at the same
// columns, and its lane taken from them. Groups that spread wider go the
// plain path. Same arithmetic and order as SampleColumns, so the bytes are
// identical.
//
// Whole numbers below 2^51 are moved between doubles and integers by adding
// 2^52, which leaves the number in the low bits; adding 1.5 x 2^52 to a
// double in 0..255 rounds it to the nearest, halves to even.
constexpr double kTwo52 = 4503599627370496.0;
constexpr std::uint64_t kTwo52Bits = 0x4330000000000000;
constexpr double kRounder = 6755399441055744.0;

// The column half of the geometry of four pixels, which rows sampled at the
// same source columns share.
struct Columns4 {
    __m256d raw;         // the positions as given, for the plain path
    int inside;          // one bit per pixel within 0.5 .. w - 0.5
    bool near;           // each half's second left neighbour within three pixels of its first, no repeated edge
    __m256i columnBits;  // left columns plus 2^52, as integers
    __m256i index;       // byte 0: the left neighbour's offset within its half's 16 bytes; the others 0x80
    __m256d u0, u1;      // 1.5 - u and u - 0.5
};

VANTREL_AVX2 Columns4 MakeColumns4(const Source& source, __m256d sx) {
    const __m256d half = _mm256_set1_pd(0.5);
    Columns4 c;
    c.raw = sx;
    c.inside = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(sx, half, _CMP_GE_OQ),
                                                _mm256_cmp_pd(sx, _mm256_set1_pd(source.w - 0.5), _CMP_LE_OQ)));
    const __m256d nudge = _mm256_and_pd(_mm256_cmp_pd(sx, _mm256_set1_pd(1.0), _CMP_GT_OQ), _mm256_set1_pd(0.00001));
    sx = _mm256_sub_pd(sx, nudge);
    // sx >= 0.5 inside, so the floor is the plain code's truncation.
    const __m256d ix = _mm256_round_pd(_mm256_sub_pd(sx, half), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256d u = _mm256_sub_pd(sx, ix);
    c.u0 = _mm256_sub_pd(_mm256_set1_pd(1.5), u);
    c.u1 = _mm256_sub_pd(u, half);
    const __m256d leftAt = _mm256_sub_pd(ix, _mm256_movedup_pd(ix));  // 0, ix1 - ix0, 0, ix3 - ix2
    c.near = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(leftAt, _mm256_setzero_pd(), _CMP_GE_OQ),
                                              _mm256_cmp_pd(leftAt, _mm256_set1_pd(3.0), _CMP_LE_OQ))) == 0xF &&
             _mm256_movemask_pd(_mm256_cmp_pd(ix, _mm256_set1_pd(source.w - 1), _CMP_GE_OQ)) == 0;
    const __m256d two52 = _mm256_set1_pd(kTwo52);
    c.columnBits = _mm256_castpd_si256(_mm256_add_pd(ix, two52));
    const __m256i offsetBits = _mm256_castpd_si256(_mm256_add_pd(_mm256_mul_pd(leftAt, _mm256_set1_pd(3.0)), two52));
    c.index = _mm256_xor_si256(offsetBits, _mm256_set1_epi64x(static_cast<long long>(kTwo52Bits ^ 0x8080808080808000)));
    return c;
}

// The low byte of each lane as a double.
VANTREL_AVX2 __m256d LowByteToDouble(__m256i lanes) {
    return _mm256_sub_pd(
        _mm256_castsi256_pd(_mm256_or_si256(lanes, _mm256_set1_epi64x(static_cast<long long>(kTwo52Bits)))),
        _mm256_set1_pd(kTwo52));
}

// The whole number held in a lane as the number plus 2^52.
template <int kLane>
VANTREL_AVX2 std::size_t ValueOfLane(__m256i bits) {
    return static_cast<std::size_t>(static_cast<std::uint64_t>(_mm256_extract_epi64(bits, kLane)) - kTwo52Bits);
}

// The four pixels' channel values from one corner: byte `offset` on from each
// pixel's left neighbour, in `rows` (both pixels of a half on one row), or
// with `second` giving the second pixel of each half its own row.
template <bool kTwoRows>
VANTREL_AVX2 __m256d Corner(__m256i rows, __m256i second, __m256i index) {
    __m256i bytes = _mm256_shuffle_epi8(rows, index);
    if constexpr (kTwoRows) bytes = _mm256_blend_epi32(bytes, _mm256_shuffle_epi8(second, index), 0xCC);
    return LowByteToDouble(bytes);
}

// The blend of the four corners, channel by channel, in the plain code's
// order, packed into twelve bytes at dst.
template <bool kTwoRows>
VANTREL_AVX2 void BlendGroup4(const Columns4& c, const __m256d (&w)[4], __m256i upper, __m256i lower,
                              __m256i upperSecond, __m256i lowerSecond, std::uint8_t* dst) {
    __m256i value[3];
    for (int k = 0; k < 3; ++k) {
        const __m256i l = _mm256_add_epi64(c.index, _mm256_set1_epi64x(k));
        const __m256i r = _mm256_add_epi64(c.index, _mm256_set1_epi64x(k + 3));
        __m256d acc = _mm256_mul_pd(w[0], Corner<kTwoRows>(upper, upperSecond, l));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(w[1], Corner<kTwoRows>(upper, upperSecond, r)));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(w[2], Corner<kTwoRows>(lower, lowerSecond, l)));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(w[3], Corner<kTwoRows>(lower, lowerSecond, r)));
        // The weights are never negative, so only the top needs clamping.
        value[k] =
            _mm256_castpd_si256(_mm256_add_pd(_mm256_min_pd(acc, _mm256_set1_pd(255.0)), _mm256_set1_pd(kRounder)));
    }
    // Blue, green and red in bytes 0, 1 and 2 of each lane, then the lanes' three bytes side by side.
    const __m256i pixels =
        _mm256_or_si256(value[0], _mm256_or_si256(_mm256_slli_epi64(value[1], 8), _mm256_slli_epi64(value[2], 16)));
    const __m256i packed =
        _mm256_shuffle_epi8(pixels, _mm256_setr_epi8(0, 1, 2, 8, 9, 10, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,  //
                                                     -1, -1, -1, -1, -1, -1, 0, 1, 2, 8, 9, 10, -1, -1, -1, -1));
    const __m128i bytes = _mm_or_si128(_mm256_castsi256_si128(packed), _mm256_extracti128_si256(packed, 1));
    // Two stores from the register: a 12-byte copy would go through the stack
    // and stall on the reload.
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), bytes);
    const std::uint32_t last = static_cast<std::uint32_t>(_mm_extract_epi32(bytes, 2));
    std::memcpy(dst + 8, &last, 4);
}

// Samples four output pixels at the columns `c` and source rows `sy` into dst.
VANTREL_AVX2 void SampleGroup4(const Source& source, const Bitmap& src, const Columns4& c, __m256d sy,
                               std::uint8_t* dst) {
    const __m256d half = _mm256_set1_pd(0.5);
    const int inside =
        c.inside & _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(sy, half, _CMP_GE_OQ),
                                                    _mm256_cmp_pd(sy, _mm256_set1_pd(source.h - 0.5), _CMP_LE_OQ)));
    const __m256d nudge = _mm256_and_pd(_mm256_cmp_pd(sy, _mm256_set1_pd(1.0), _CMP_GT_OQ), _mm256_set1_pd(0.00001));
    const __m256d iy =
        _mm256_round_pd(_mm256_sub_pd(_mm256_sub_pd(sy, nudge), half), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    // Each half's second pixel on its first's row pair or on the next one up
    // or down (a turned picture crosses rows), and none on the last row.
    const __m256d rowStep = _mm256_sub_pd(iy, _mm256_movedup_pd(iy));  // 0, iy1 - iy0, 0, iy3 - iy2
    const int sameRows = _mm256_movemask_pd(_mm256_cmp_pd(rowStep, _mm256_setzero_pd(), _CMP_EQ_OQ));
    const bool rowsNear = _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(rowStep, _mm256_set1_pd(-1.0), _CMP_GE_OQ),
                                                           _mm256_cmp_pd(rowStep, _mm256_set1_pd(1.0), _CMP_LE_OQ))) == 0xF &&
                          _mm256_movemask_pd(_mm256_cmp_pd(iy, _mm256_set1_pd(source.h - 1), _CMP_GE_OQ)) == 0;
    if (inside != 0xF || !c.near || !rowsNear) {
        alignas(32) double xs[4], ys[4];
        _mm256_store_pd(xs, c.raw);
        _mm256_store_pd(ys, sy);
        return SampleGroupPlainly(source, src, inside == 0, xs, ys, 4, dst);
    }
    const __m256d v = _mm256_sub_pd(_mm256_sub_pd(sy, nudge), iy);
    const __m256d v0 = _mm256_sub_pd(_mm256_set1_pd(1.5), v), v1 = _mm256_sub_pd(v, half);
    const __m256d w[4] = {_mm256_mul_pd(c.u0, v0), _mm256_mul_pd(c.u1, v0), _mm256_mul_pd(c.u0, v1),
                          _mm256_mul_pd(c.u1, v1)};

    const __m256i rowBits = _mm256_castpd_si256(_mm256_add_pd(iy, _mm256_set1_pd(kTwo52)));
    const std::size_t stride = src.stride();
    const std::size_t lowColumn = ValueOfLane<0>(c.columnBits) * 3, highColumn = ValueOfLane<2>(c.columnBits) * 3;
    const std::uint8_t* low = src.bits() + ValueOfLane<0>(rowBits) * stride + lowColumn;
    const std::uint8_t* high = src.bits() + ValueOfLane<2>(rowBits) * stride + highColumn;
    // The next output rows read a little further on: fetch ahead.
    _mm_prefetch(reinterpret_cast<const char*>(low) + (source.ahead > 0 ? 3 : -2) * static_cast<std::ptrdiff_t>(stride),
                 _MM_HINT_T0);
    const __m256i upper =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high), reinterpret_cast<const __m128i*>(low));
    const __m256i lower = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high + stride),
                                              reinterpret_cast<const __m128i*>(low + stride));
    if (sameRows == 0xF) return BlendGroup4<false>(c, w, upper, lower, upper, lower, dst);
    // The second pixels' rows, read at the same columns.
    const std::uint8_t* lowSecond = src.bits() + ValueOfLane<1>(rowBits) * stride + lowColumn;
    const std::uint8_t* highSecond = src.bits() + ValueOfLane<3>(rowBits) * stride + highColumn;
    const __m256i upperSecond =
        _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(highSecond), reinterpret_cast<const __m128i*>(lowSecond));
    const __m256i lowerSecond = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(highSecond + stride),
                                                    reinterpret_cast<const __m128i*>(lowSecond + stride));
    BlendGroup4<true>(c, w, upper, lower, upperSecond, lowerSecond, dst);
}

// Eight pixels at a time in single precision, four to each 128-bit half. A
// half reads 16 bytes of its rows at its first pixel's left neighbour, which
// hold the neighbours of all four when they step at most one source column
// each (a warp that does not shrink, a lens correction). Where its pixels
// cross a row, or spread wider, a half reads a second 16 bytes: at the same
// columns on the other row, or at its third pixel's left neighbour.
//
// The weights, rounded to floats from the doubles' and multiplied, are within
// 3 x 2^-24 of theirs, and each of the four roundings of a sum adds at most
// 2^-24 of it: a float sum is within 7 x 2^-24 of the exact one, below 1.1e-4
// at 255, and the doubles' sum far closer still. A float sum further than
// kRoundingMargin from every rounding boundary therefore rounds to the plain
// sampler's byte. Groups with a sum closer, or that fit none of the ways
// above, are redone four pixels at a time in doubles, so the bytes are always
// the plain sampler's.
constexpr float kRoundingMargin = 1.0f / 4096;

// The column half of the geometry of eight pixels.
struct FloatColumns {
    __m256d raw[2];  // the positions as given, pixels 0-3 and 4-7
    int inside;      // one bit per pixel within 0.5 .. w - 0.5
    bool narrow;     // each half within three columns on from its first pixel's
    bool fits;       // narrow, or each half's pixels 0, 1 and 2, 3 within three columns of each other
    // Where each half reads: at its first pixel's left neighbour, and its
    // second 16 bytes there too (narrow) or at its third pixel's.
    int lowColumn, highColumn, lowFar, highFar;
    __m256i index;  // dword j of a half: byte 0 the offset of its pixel j's left neighbour where it reads, the rest 0x80
    __m256 u0, u1;  // 1.5 - u and u - 0.5
};

// Floor of a position less the nudge, as the double sampler takes it, and
// the fraction's two weights in single precision.
VANTREL_AVX2 __m128i FloorAndWeights(__m256d s, __m128& w0, __m128& w1) {
    const __m256d half = _mm256_set1_pd(0.5);
    s = _mm256_sub_pd(s, _mm256_and_pd(_mm256_cmp_pd(s, _mm256_set1_pd(1.0), _CMP_GT_OQ), _mm256_set1_pd(0.00001)));
    const __m256d whole = _mm256_round_pd(_mm256_sub_pd(s, half), _MM_FROUND_TO_NEG_INF | _MM_FROUND_NO_EXC);
    const __m256d fraction = _mm256_sub_pd(s, whole);
    w0 = _mm256_cvtpd_ps(_mm256_sub_pd(_mm256_set1_pd(1.5), fraction));
    w1 = _mm256_cvtpd_ps(_mm256_sub_pd(fraction, half));
    return _mm256_cvtpd_epi32(whole);  // positions outside give nonsense, never used
}

VANTREL_AVX2 int Within(__m256d s, double to) {
    return _mm256_movemask_pd(_mm256_and_pd(_mm256_cmp_pd(s, _mm256_set1_pd(0.5), _CMP_GE_OQ),
                                            _mm256_cmp_pd(s, _mm256_set1_pd(to), _CMP_LE_OQ)));
}

VANTREL_AVX2 bool AllSet(__m256i mask) { return _mm256_movemask_epi8(mask) == -1; }
VANTREL_AVX2 bool NoneSet(__m256i mask) { return _mm256_testz_si256(mask, mask) != 0; }

// Whether every lane holds 0 .. 3.
VANTREL_AVX2 bool WithinThree(__m256i offsets) {
    return AllSet(_mm256_cmpeq_epi32(_mm256_min_epu32(offsets, _mm256_set1_epi32(3)), offsets));
}

VANTREL_AVX2 FloatColumns MakeFloatColumns(const Source& source, __m256d sx0, __m256d sx1) {
    FloatColumns c;
    c.raw[0] = sx0;
    c.raw[1] = sx1;
    c.inside = Within(sx0, source.w - 0.5) | Within(sx1, source.w - 0.5) << 4;
    __m128 u0[2], u1[2];
    const __m256i columns = _mm256_set_m128i(FloorAndWeights(sx1, u0[1], u1[1]), FloorAndWeights(sx0, u0[0], u1[0]));
    c.u0 = _mm256_set_m128(u0[1], u0[0]);
    c.u1 = _mm256_set_m128(u1[1], u1[0]);
    const __m256i fromFirst = _mm256_sub_epi32(columns, _mm256_shuffle_epi32(columns, _MM_SHUFFLE(0, 0, 0, 0)));
    const __m256i fromPair = _mm256_sub_epi32(columns, _mm256_shuffle_epi32(columns, _MM_SHUFFLE(2, 2, 0, 0)));
    c.narrow = WithinThree(fromFirst);
    c.fits = (c.narrow || WithinThree(fromPair)) && NoneSet(_mm256_cmpgt_epi32(columns, _mm256_set1_epi32(source.w - 2)));
    c.lowColumn = _mm256_extract_epi32(columns, 0);
    c.highColumn = _mm256_extract_epi32(columns, 4);
    c.lowFar = c.narrow ? c.lowColumn : _mm256_extract_epi32(columns, 2);
    c.highFar = c.narrow ? c.highColumn : _mm256_extract_epi32(columns, 6);
    c.index = _mm256_or_si256(_mm256_mullo_epi32(c.narrow ? fromFirst : fromPair, _mm256_set1_epi32(3)),
                              _mm256_set1_epi32(static_cast<int>(0x80808000)));
    return c;
}

// One corner's channel of the eight pixels: the byte at `index` in each
// half's 16 bytes, or for the pixels in `second`, in its second 16 bytes.
template <bool kTwoReads>
VANTREL_AVX2 __m256 PickCorner(__m256i rows, __m256i secondRows, __m256i second, __m256i index) {
    __m256i bytes = _mm256_shuffle_epi8(rows, index);
    if constexpr (kTwoReads) bytes = _mm256_blendv_epi8(bytes, _mm256_shuffle_epi8(secondRows, index), second);
    return _mm256_cvtepi32_ps(bytes);
}

// Blends, rounds and stores the eight pixels; false, with nothing stored,
// where a sum lies too near a rounding boundary to be sure of.
template <bool kTwoReads>
VANTREL_AVX2 bool BlendGroup8(const FloatColumns& c, const __m256 (&w)[4], __m256i upper, __m256i lower,
                              __m256i upperSecond, __m256i lowerSecond, __m256i second, std::uint8_t* dst) {
    __m256i value[3];
    __m256 furthest = _mm256_setzero_ps();
    for (int k = 0; k < 3; ++k) {
        const __m256i l = _mm256_add_epi32(c.index, _mm256_set1_epi32(k));
        const __m256i r = _mm256_add_epi32(c.index, _mm256_set1_epi32(k + 3));
        __m256 sum = _mm256_mul_ps(w[0], PickCorner<kTwoReads>(upper, upperSecond, second, l));
        sum = _mm256_fmadd_ps(w[1], PickCorner<kTwoReads>(upper, upperSecond, second, r), sum);
        sum = _mm256_fmadd_ps(w[2], PickCorner<kTwoReads>(lower, lowerSecond, second, l), sum);
        sum = _mm256_fmadd_ps(w[3], PickCorner<kTwoReads>(lower, lowerSecond, second, r), sum);
        const __m256 nearest = _mm256_round_ps(sum, _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
        furthest = _mm256_max_ps(furthest, _mm256_andnot_ps(_mm256_set1_ps(-0.0f), _mm256_sub_ps(sum, nearest)));
        value[k] = _mm256_cvtps_epi32(nearest);
    }
    if (_mm256_movemask_ps(_mm256_cmp_ps(furthest, _mm256_set1_ps(0.5f - kRoundingMargin), _CMP_GT_OQ)) != 0)
        return false;
    // Per half: blue of its four pixels, green, red (saturated at 255), then
    // interleaved into twelve bytes, and the halves side by side.
    const __m256i words = _mm256_packus_epi32(value[0], value[1]);
    const __m256i bytes = _mm256_packus_epi16(words, _mm256_packus_epi32(value[2], value[2]));
    const __m256i pixels = _mm256_shuffle_epi8(
        bytes, _mm256_setr_epi8(0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1,  //
                                0, 4, 8, 1, 5, 9, 2, 6, 10, 3, 7, 11, -1, -1, -1, -1));
    const __m256i packed = _mm256_permutevar8x32_epi32(pixels, _mm256_setr_epi32(0, 1, 2, 4, 5, 6, 7, 7));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm256_castsi256_si128(packed));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(dst + 16), _mm256_extracti128_si256(packed, 1));
    return true;
}

// The few groups the single-precision path leaves, four pixels at a time.
[[gnu::noinline]] VANTREL_TARGET_AVX2 void SampleGroup8InDoubles(const Source& source, const Bitmap& src,
                                                                 const FloatColumns& c, __m256d sy0, __m256d sy1,
                                                                 std::uint8_t* dst) {
    SampleGroup4(source, src, MakeColumns4(source, c.raw[0]), sy0, dst);
    SampleGroup4(source, src, MakeColumns4(source, c.raw[1]), sy1, dst + 12);
}

// 16 bytes at `low` and at `high` into the two halves, and the same of the next rows.
VANTREL_AVX2 void ReadRowPairs(const std::uint8_t* high, const std::uint8_t* low, std::size_t stride, __m256i& upper,
                               __m256i& lower) {
    upper = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high), reinterpret_cast<const __m128i*>(low));
    lower = _mm256_loadu2_m128i(reinterpret_cast<const __m128i*>(high + stride),
                                reinterpret_cast<const __m128i*>(low + stride));
}

// Samples eight output pixels at the columns `c` and source rows sy0 (pixels
// 0-3) and sy1 (4-7) into dst.
VANTREL_AVX2 void SampleGroup8(const Source& source, const Bitmap& src, const FloatColumns& c, __m256d sy0,
                               __m256d sy1, std::uint8_t* dst) {
    const int inside = c.inside & (Within(sy0, source.h - 0.5) | Within(sy1, source.h - 0.5) << 4);
    __m128 v0[2], v1[2];
    const __m256i rows = _mm256_set_m128i(FloorAndWeights(sy1, v0[1], v1[1]), FloorAndWeights(sy0, v0[0], v1[0]));
    const __m256i onFirst = _mm256_cmpeq_epi32(rows, _mm256_shuffle_epi32(rows, _MM_SHUFFLE(0, 0, 0, 0)));
    // Where a half reads its second 16 bytes: for a narrow group, the pixels
    // on its last pixel's row (each on its first's or its last's); else its
    // pixels 2 and 3 (each pair on one row).
    __m256i second;
    int secondRow;
    bool rowsFit = NoneSet(_mm256_cmpgt_epi32(rows, _mm256_set1_epi32(source.h - 2)));  // no repeated edge below
    if (c.narrow) {
        second = _mm256_xor_si256(onFirst, _mm256_set1_epi32(-1));
        secondRow = 3;
        rowsFit = rowsFit &&
                  AllSet(_mm256_or_si256(onFirst, _mm256_cmpeq_epi32(rows, _mm256_shuffle_epi32(rows, _MM_SHUFFLE(3, 3, 3, 3)))));
    } else {
        second = _mm256_setr_epi32(0, 0, -1, -1, 0, 0, -1, -1);
        secondRow = 2;
        rowsFit = rowsFit && AllSet(_mm256_cmpeq_epi32(rows, _mm256_shuffle_epi32(rows, _MM_SHUFFLE(2, 2, 0, 0))));
    }
    if (inside != 0xFF || !c.fits || !rowsFit) {
        if (inside == 0) return static_cast<void>(std::memset(dst, source.grey, 24));
        return SampleGroup8InDoubles(source, src, c, sy0, sy1, dst);
    }
    const __m256 v0s = _mm256_set_m128(v0[1], v0[0]), v1s = _mm256_set_m128(v1[1], v1[0]);
    const __m256 w[4] = {_mm256_mul_ps(c.u0, v0s), _mm256_mul_ps(c.u1, v0s), _mm256_mul_ps(c.u0, v1s),
                         _mm256_mul_ps(c.u1, v1s)};
    const std::size_t stride = src.stride();
    auto at = [&](int row, int column) {
        return src.bits() + static_cast<std::size_t>(row) * stride + static_cast<std::size_t>(column) * 3;
    };
    const std::uint8_t* low = at(_mm256_extract_epi32(rows, 0), c.lowColumn);
    // The next output rows read a little further on: fetch ahead.
    _mm_prefetch(reinterpret_cast<const char*>(low) + (source.ahead > 0 ? 3 : -2) * static_cast<std::ptrdiff_t>(stride),
                 _MM_HINT_T0);
    __m256i upper, lower;
    ReadRowPairs(at(_mm256_extract_epi32(rows, 4), c.highColumn), low, stride, upper, lower);
    bool done;
    if (NoneSet(second)) {
        done = BlendGroup8<false>(c, w, upper, lower, upper, lower, second, dst);
    } else {
        __m256i upperSecond, lowerSecond;
        const int lowRow = secondRow == 3 ? _mm256_extract_epi32(rows, 3) : _mm256_extract_epi32(rows, 2);
        const int highRow = secondRow == 3 ? _mm256_extract_epi32(rows, 7) : _mm256_extract_epi32(rows, 6);
        ReadRowPairs(at(highRow, c.highFar), at(lowRow, c.lowFar), stride, upperSecond, lowerSecond);
        done = BlendGroup8<true>(c, w, upper, lower, upperSecond, lowerSecond, second, dst);
    }
    if (!done) SampleGroup8InDoubles(source, src, c, sy0, sy1, dst);
}

template <class Positions>
VANTREL_TARGET_AVX2 void SampleRowAvx2(const Source& source, const Bitmap& src, const Positions& at,
                                                   int count, std::uint8_t* dst) {
    int x = 0;
    for (; x + 8 <= count; x += 8, dst += 24) {
        __m256d sx0, sy0, sx1, sy1;
        Load(at, x, sx0, sy0);
        Load(at, x + 4, sx1, sy1);
        SampleGroup8(source, src, MakeFloatColumns(source, sx0, sx1), sy0, sy1, dst);
    }
    for (; x + 4 <= count; x += 4, dst += 12) {
        __m256d sx, sy;
        Load(at, x, sx, sy);
        SampleGroup4(source, src, MakeColumns4(source, sx), sy, dst);
    }
    SampleColumns(source, src, at, x, count, dst);
}

// Both rows of a mirrored pair at once: their pixels sample the same source
// columns, so each group's column geometry serves both rows.
VANTREL_TARGET_AVX2 void CorrectRowPairAvx2(const Bitmap& src, const RadialCorrection& lens,
                                                        const double* dxs, double* f, int y, std::uint8_t grey,
                                                        Bitmap& out) {
    const int w = src.width(), h = src.height(), mirror = h - 1 - y;
    const Source down{w, h, grey, 1}, up{w, h, grey, -1};
    const double dyDown = (y - lens.cy + 0.5) * lens.scale, dyUp = (mirror - lens.cy + 0.5) * lens.scale;
    RowFactors(lens, w, dxs, dyDown, f);
    const __m256d cx = _mm256_set1_pd(lens.cx), cy = _mm256_set1_pd(lens.cy);
    std::uint8_t* rowDown = out.row(y);
    std::uint8_t* rowUp = out.row(mirror);
    const __m256d down0 = _mm256_set1_pd(dyDown), up0 = _mm256_set1_pd(dyUp);
    for (int x = 0; x < w; x += 8) {
        x = std::min(x, w - 8);  // the last group may overlap the one before
        const __m256d f0 = _mm256_loadu_pd(f + x), f1 = _mm256_loadu_pd(f + x + 4);
        const FloatColumns columns =
            MakeFloatColumns(down, _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(dxs + x), f0), cx),
                             _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(dxs + x + 4), f1), cx));
        SampleGroup8(down, src, columns, _mm256_add_pd(_mm256_mul_pd(down0, f0), cy),
                     _mm256_add_pd(_mm256_mul_pd(down0, f1), cy), rowDown + 3 * x);
        if (mirror != y)
            SampleGroup8(up, src, columns, _mm256_add_pd(_mm256_mul_pd(up0, f0), cy),
                         _mm256_add_pd(_mm256_mul_pd(up0, f1), cy), rowUp + 3 * x);
    }
}

// Byte permutes that interleave the low bytes of three vectors of 64-bit
// lanes (blue, green, red of eight pixels) into 24 bytes of packed pixels.
struct PackIndices {
    std::uint8_t greenIn[64], redIn[64];
};
constexpr PackIndices MakePackIndices() {
    PackIndices p{};
    for (int j = 0; j < 8; ++j) {
        p.greenIn[3 * j] = static_cast<std::uint8_t>(8 * j);
        p.greenIn[3 * j + 1] = static_cast<std::uint8_t>(64 + 8 * j);
        p.redIn[3 * j] = static_cast<std::uint8_t>(3 * j);
        p.redIn[3 * j + 1] = static_cast<std::uint8_t>(3 * j + 1);
        p.redIn[3 * j + 2] = static_cast<std::uint8_t>(64 + 8 * j);
    }
    return p;
}
alignas(64) constexpr PackIndices kPack = MakePackIndices();

#define VANTREL_AVX512 __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi"), always_inline)) inline

// The eight-pixel sampler below works one pixel per 64-bit lane. The four
// source pixels of each output pixel come from two rows; for a smooth mapping
// eight neighbouring output pixels read within ten neighbouring source pixels
// of one or two row pairs, so a group loads 32 bytes of each of those rows once
// and permutes every channel straight into its lane. Other groups gather pixel
// by pixel, and groups only partly inside take the plain path. Same arithmetic
// and order as SampleColumns, so the bytes are identical.

// The column half of the geometry of eight pixels, which rows sampled at the
// same source columns share.
struct Columns8 {
    __m512d raw;         // the positions as given, for the plain path
    __mmask8 inside;     // within 0.5 .. w - 0.5
    bool near;           // within ten pixels of the first, right neighbours not the repeated edge
    std::int64_t first;  // the first lane's left column
    __m512i ix;          // left columns
    __m512i left;        // byte offsets of the left neighbours from the first one
    __m512d u0, u1;      // 1.5 - u and u - 0.5
};

VANTREL_AVX512 Columns8 MakeColumns(const Source& source, __m512d sx) {
    const __m512d half = _mm512_set1_pd(0.5);
    Columns8 c;
    c.raw = sx;
    c.inside =
        _mm512_cmp_pd_mask(sx, half, _CMP_GE_OQ) & _mm512_cmp_pd_mask(sx, _mm512_set1_pd(source.w - 0.5), _CMP_LE_OQ);
    sx = _mm512_mask_sub_pd(sx, _mm512_cmp_pd_mask(sx, _mm512_set1_pd(1.0), _CMP_GT_OQ), sx, _mm512_set1_pd(0.00001));
    c.ix = _mm512_cvttpd_epi64(_mm512_sub_pd(sx, half));
    const __m512d u = _mm512_sub_pd(sx, _mm512_cvtepi64_pd(c.ix));
    c.u0 = _mm512_sub_pd(_mm512_set1_pd(1.5), u);
    c.u1 = _mm512_sub_pd(u, half);
    c.first = _mm_cvtsi128_si64(_mm512_castsi512_si128(c.ix));
    const __m512i leftAt = _mm512_sub_epi64(c.ix, _mm512_set1_epi64(c.first));
    c.near = _mm512_cmpgt_epu64_mask(leftAt, _mm512_set1_epi64(8)) == 0 &&
             _mm512_cmpge_epi64_mask(c.ix, _mm512_set1_epi64(source.w - 1)) == 0;
    c.left = _mm512_add_epi64(_mm512_slli_epi64(leftAt, 1), leftAt);
    return c;
}

// Samples eight output pixels at the columns `c` and source rows `sy` into dst.
VANTREL_AVX512 void SampleGroup(const Source& source, const Bitmap& src, const Columns8& c, __m512d sy,
                                std::uint8_t* dst) {
    constexpr __mmask64 kGroupBytes = 0xFFFFFF;
    const __m512d half = _mm512_set1_pd(0.5);
    const __mmask8 inside = c.inside & _mm512_cmp_pd_mask(sy, half, _CMP_GE_OQ) &
                            _mm512_cmp_pd_mask(sy, _mm512_set1_pd(source.h - 0.5), _CMP_LE_OQ);
    if (inside != 0xFF) {
        alignas(64) double xs[8], ys[8];
        _mm512_store_pd(xs, c.raw);
        _mm512_store_pd(ys, sy);
        return SampleGroupPlainly(source, src, inside == 0, xs, ys, 8, dst);
    }
    sy = _mm512_mask_sub_pd(sy, _mm512_cmp_pd_mask(sy, _mm512_set1_pd(1.0), _CMP_GT_OQ), sy, _mm512_set1_pd(0.00001));
    const __m512i iy = _mm512_cvttpd_epi64(_mm512_sub_pd(sy, half));
    const __m512d v = _mm512_sub_pd(sy, _mm512_cvtepi64_pd(iy));
    const __m512d v0 = _mm512_sub_pd(_mm512_set1_pd(1.5), v), v1 = _mm512_sub_pd(v, half);
    const __m512d w[4] = {_mm512_mul_pd(c.u0, v0), _mm512_mul_pd(c.u1, v0), _mm512_mul_pd(c.u0, v1),
                          _mm512_mul_pd(c.u1, v1)};

    // Channel k of corner n (upper-left, upper-right, lower-left, lower-right) per lane.
    __m512d channel[4][3];
    const std::uint8_t* base = src.bits();
    const std::size_t stride = src.stride();
    // Rows curve across the image, so a group may straddle two rows.
    const std::int64_t rowA = _mm_cvtsi128_si64(_mm512_castsi512_si128(iy));
    const std::int64_t rowB = _mm_extract_epi64(_mm512_extracti64x2_epi64(iy, 3), 1);
    const __mmask8 onA = _mm512_cmpeq_epi64_mask(iy, _mm512_set1_epi64(rowA));
    const __mmask8 onB = _mm512_cmpeq_epi64_mask(iy, _mm512_set1_epi64(rowB)) & static_cast<__mmask8>(~onA);
    // The lower neighbours must be the next row, not the repeated edge.
    if (c.near && (onA | onB) == 0xFF && _mm512_cmpge_epi64_mask(iy, _mm512_set1_epi64(source.h - 1)) == 0) {
        constexpr __mmask64 kLaneByte0 = 0x0101010101010101;  // the rest of each lane becomes 0
        const std::uint8_t* window = base + static_cast<std::size_t>(c.first) * 3;
        const std::uint8_t* upperA = window + static_cast<std::size_t>(rowA) * stride;
        const std::uint8_t* upperB = window + static_cast<std::size_t>(rowB) * stride;
        // The next output rows read a little further on: fetch ahead.
        _mm_prefetch(
            reinterpret_cast<const char*>(upperA) + (source.ahead > 0 ? 3 : -2) * static_cast<std::ptrdiff_t>(stride),
            _MM_HINT_T0);
        // Row A in the low half of each table, row B in the high half.
        const __m512i upper =
            _mm512_inserti64x4(_mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperA))),
                               _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperB)), 1);
        const __m512i lower = _mm512_inserti64x4(
            _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperA + stride))),
            _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperB + stride)), 1);
        const __m512i left = _mm512_mask_add_epi64(c.left, onB, c.left, _mm512_set1_epi64(32));
        for (int k = 0; k < 3; ++k) {
            const __m512i l = _mm512_add_epi64(left, _mm512_set1_epi64(k));
            const __m512i r = _mm512_add_epi64(left, _mm512_set1_epi64(k + 3));
            channel[0][k] = _mm512_cvtepi64_pd(_mm512_maskz_permutexvar_epi8(kLaneByte0, l, upper));
            channel[1][k] = _mm512_cvtepi64_pd(_mm512_maskz_permutexvar_epi8(kLaneByte0, r, upper));
            channel[2][k] = _mm512_cvtepi64_pd(_mm512_maskz_permutexvar_epi8(kLaneByte0, l, lower));
            channel[3][k] = _mm512_cvtepi64_pd(_mm512_maskz_permutexvar_epi8(kLaneByte0, r, lower));
        }
    } else {
        alignas(64) std::int64_t cols[8], rows[8];
        _mm512_store_si512(cols, c.ix);
        _mm512_store_si512(rows, iy);
        alignas(64) std::uint64_t pixel[4][8];
        for (int i = 0; i < 8; ++i) {
            const std::size_t left = static_cast<std::size_t>(cols[i]) * 3;
            const std::size_t right = static_cast<std::size_t>(std::min<std::int64_t>(cols[i] + 1, source.w - 1)) * 3;
            const std::uint8_t* upperRow = base + static_cast<std::size_t>(rows[i]) * stride;
            const std::uint8_t* lowerRow =
                base + static_cast<std::size_t>(std::min<std::int64_t>(rows[i] + 1, source.h - 1)) * stride;
            std::uint32_t p[4];
            std::memcpy(&p[0], upperRow + left, 4);
            std::memcpy(&p[1], upperRow + right, 4);
            std::memcpy(&p[2], lowerRow + left, 4);
            std::memcpy(&p[3], lowerRow + right, 4);
            for (int n = 0; n < 4; ++n) pixel[n][i] = p[n];
        }
        for (int n = 0; n < 4; ++n) {
            const __m512i p = _mm512_load_si512(pixel[n]);
            for (int k = 0; k < 3; ++k)
                channel[n][k] =
                    _mm512_cvtepi64_pd(_mm512_and_si512(_mm512_srli_epi64(p, 8 * k), _mm512_set1_epi64(0xFF)));
        }
    }

    __m512i value[3];
    for (int k = 0; k < 3; ++k) {
        __m512d acc = _mm512_mul_pd(w[0], channel[0][k]);
        acc = _mm512_add_pd(acc, _mm512_mul_pd(w[1], channel[1][k]));
        acc = _mm512_add_pd(acc, _mm512_mul_pd(w[2], channel[2][k]));
        acc = _mm512_add_pd(acc, _mm512_mul_pd(w[3], channel[3][k]));
        // The weights are never negative, so only the top needs clamping;
        // clamping before rounding gives the same byte as after.
        value[k] = _mm512_cvtpd_epi64(_mm512_min_pd(acc, _mm512_set1_pd(255.0)));  // rounds halves to even
    }
    const __m512i blueGreen = _mm512_permutex2var_epi8(value[0], _mm512_load_si512(kPack.greenIn), value[1]);
    _mm512_mask_storeu_epi8(dst, kGroupBytes,
                            _mm512_permutex2var_epi8(blueGreen, _mm512_load_si512(kPack.redIn), value[2]));
}

template <class Positions>
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi"))) void SampleRowAvx512(
    const Source& source, const Bitmap& src, const Positions& at, int count, std::uint8_t* dst) {
    int x = 0;
    for (; x + 8 <= count; x += 8, dst += 24) {
        __m512d sx, sy;
        Load(at, x, sx, sy);
        SampleGroup(source, src, MakeColumns(source, sx), sy, dst);
    }
    SampleColumns(source, src, at, x, count, dst);
}

// Radial factors of eight columns on one row: the operations and order of
// RowFactors.
VANTREL_AVX512 __m512d Factors8(const RadialCorrection& lens, __m512d dx, __m512d dy) {
    const __m512d r = _mm512_div_pd(_mm512_sqrt_pd(_mm512_add_pd(_mm512_mul_pd(dx, dx), _mm512_mul_pd(dy, dy))),
                                    _mm512_set1_pd(lens.radius));
    const __m512d r2 = _mm512_mul_pd(r, r);
    __m512d p = _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(lens.a), r2), r2);
    p = _mm512_add_pd(p, _mm512_mul_pd(_mm512_mul_pd(_mm512_set1_pd(lens.b), r2), r));
    p = _mm512_add_pd(p, _mm512_mul_pd(_mm512_set1_pd(lens.c), r2));
    p = _mm512_add_pd(p, _mm512_mul_pd(_mm512_set1_pd(lens.d), r));
    const __mmask8 centre = _mm512_cmp_pd_mask(r, _mm512_setzero_pd(), _CMP_EQ_OQ);
    const __m512d one = _mm512_set1_pd(1.0);
    return _mm512_mask_blend_pd(centre, _mm512_div_pd(p, _mm512_mask_blend_pd(centre, r, one)), one);
}

// Both rows of a mirrored pair at once: their pixels sample the same source
// columns, so each group's column geometry serves both rows.
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi"))) void CorrectRowPairAvx512(
    const Bitmap& src, const RadialCorrection& lens, const double* dxs, double* f, int y, std::uint8_t grey,
    Bitmap& out) {
    const int w = src.width(), h = src.height(), mirror = h - 1 - y;
    const Source down{w, h, grey, 1}, up{w, h, grey, -1};
    const __m512d dyDown = _mm512_set1_pd((y - lens.cy + 0.5) * lens.scale);
    const __m512d dyUp = _mm512_set1_pd((mirror - lens.cy + 0.5) * lens.scale);
    const __m512d cx = _mm512_set1_pd(lens.cx), cy = _mm512_set1_pd(lens.cy);
    // Mirrored columns have exactly negated offsets and so the same factor.
    // Near the middle the two halves overlap and write equal values.
    const __m512i reverse = _mm512_setr_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    for (int x = 0; x < (w + 1) / 2; x += 8) {
        const __m512d fx = Factors8(lens, _mm512_loadu_pd(dxs + x), dyDown);
        _mm512_storeu_pd(f + x, fx);
        _mm512_storeu_pd(f + w - 8 - x, _mm512_permutexvar_pd(reverse, fx));
    }
    std::uint8_t* rowDown = out.row(y);
    std::uint8_t* rowUp = out.row(mirror);
    for (int x = 0; x < w; x += 8) {
        x = std::min(x, w - 8);  // the last group may overlap the one before
        const __m512d fx = _mm512_loadu_pd(f + x);
        const Columns8 columns = MakeColumns(down, _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(dxs + x), fx), cx));
        SampleGroup(down, src, columns, _mm512_add_pd(_mm512_mul_pd(dyDown, fx), cy), rowDown + 3 * x);
        if (mirror != y) SampleGroup(up, src, columns, _mm512_add_pd(_mm512_mul_pd(dyUp, fx), cy), rowUp + 3 * x);
    }
}

#endif

template <class Positions>
void Resample(const Bitmap& src, const Positions& at, int count, std::uint8_t grey, std::uint8_t* dst,
              int nextRowStep) {
    if (src.deep()) return SampleDeep(src, at, count, grey, dst, nextRowStep >= 0 ? 1 : -1);
    const Source source{src.width(), src.height(), grey, nextRowStep >= 0 ? 1 : -1};
#ifdef VANTREL_X86_DISPATCH
    const InstructionSet level = ActiveInstructionSet();
    if (level >= InstructionSet::Avx512) return SampleRowAvx512(source, src, at, count, dst);
    if (level >= InstructionSet::Avx2) return SampleRowAvx2(source, src, at, count, dst);
#endif
    SampleColumns(source, src, at, 0, count, dst);
}

}  // namespace

void ResampleRow(const Bitmap& src, const double* xs, const double* ys, int count, std::uint8_t grey, std::uint8_t* dst,
                 int nextRowStep) {
    Resample(src, StoredPositions{xs, ys}, count, grey, dst, nextRowStep);
}

void ResampleRadialRowPair(const Bitmap& src, const RadialCorrection& lens, const double* dxs, double* scratch, int y,
                           std::uint8_t grey, Bitmap& out) {
    const int w = src.width(), h = src.height();
    if (src.deep()) {
        const double dy = (y - lens.cy + 0.5) * lens.scale;
        RowFactors(lens, w, dxs, dy, scratch);
        SampleDeep(src, RadialPositions{dxs, scratch, dy, lens.cx, lens.cy}, w, grey, out.row(y));
        const int mirror = h - 1 - y;
        if (mirror != y) {
            const double dyMirror = (mirror - lens.cy + 0.5) * lens.scale;
            SampleDeep(src, RadialPositions{dxs, scratch, dyMirror, lens.cx, lens.cy}, w, grey, out.row(mirror));
        }
        return;
    }
#ifdef VANTREL_X86_DISPATCH
    // Whole groups of eight columns; the widest kernel also mirrors
    // its factors eight at a time from each end.
    const InstructionSet level = ActiveInstructionSet();
    if (level >= InstructionSet::Avx512 && w >= 16) return CorrectRowPairAvx512(src, lens, dxs, scratch, y, grey, out);
    if (level >= InstructionSet::Avx2 && w >= 8) return CorrectRowPairAvx2(src, lens, dxs, scratch, y, grey, out);
#endif
    // A mirrored row has exactly the negated offset and the same factors.
    const double dy = (y - lens.cy + 0.5) * lens.scale;
    RowFactors(lens, w, dxs, dy, scratch);
    const Source source{w, h, grey, 1};
    SampleColumns(source, src, RadialPositions{dxs, scratch, dy, lens.cx, lens.cy}, 0, w, out.row(y));
    const int mirror = h - 1 - y;
    if (mirror != y) {
        const double dyMirror = (mirror - lens.cy + 0.5) * lens.scale;
        SampleColumns(source, src, RadialPositions{dxs, scratch, dyMirror, lens.cx, lens.cy}, 0, w, out.row(mirror));
    }
}

void CoverageRow(const Bitmap& src, const double* xs, const double* ys, int count, std::uint8_t* coverage) {
    for (int i = 0; i < count; ++i) coverage[i] = Inside(src.width(), src.height(), xs[i], ys[i]) ? 255 : 0;
}

std::pair<int, int> RadialInsideColumns(const RadialCorrection& lens, int w, int h, const double* dxs, double* scratch,
                                        int y) {
    const double dy = (y - lens.cy + 0.5) * lens.scale;
    RowFactors(lens, w, dxs, dy, scratch);
    const RadialPositions at{dxs, scratch, dy, lens.cx, lens.cy};
    int first = 0, last = w;
    while (first < w && !Inside(w, h, at.x(first), at.y(first))) ++first;
    while (last > first && !Inside(w, h, at.x(last - 1), at.y(last - 1))) --last;
    return {first, last};
}

void RestrictCoverageRow(const RowSpans& spans, int w, int h, const double* xs, const double* ys, int count,
                         std::uint8_t* coverage) {
    if (spans.size() != static_cast<std::size_t>(h)) return;
    auto picture = [&](int x, int y) {
        x = std::clamp(x, 0, w - 1);
        y = std::clamp(y, 0, h - 1);
        return x >= spans[y].first && x < spans[y].second;
    };
    for (int i = 0; i < count; ++i) {
        if (!coverage[i]) continue;
        const int x0 = static_cast<int>(std::floor(xs[i] - 0.5)), y0 = static_cast<int>(std::floor(ys[i] - 0.5));
        if (!(picture(x0, y0) && picture(x0 + 1, y0) && picture(x0, y0 + 1) && picture(x0 + 1, y0 + 1))) coverage[i] = 0;
    }
}

}  // namespace vantrel
