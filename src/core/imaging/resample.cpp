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
        for (int k = 0; k < 3; ++k)
            dst[k] = ClampByte(((s.wa * pa[k] + s.wb * pb[k]) + s.wc * pc[k]) + s.wd * pd[k]);
    }
}

#ifdef VANTREL_X86_DISPATCH
// Positions of four or eight pixels from x on, as the plain code makes them
// (no fused multiply-add).
__attribute__((target("avx2"))) inline void Load(const StoredPositions& at, int x, __m256d& sx, __m256d& sy) {
    sx = _mm256_loadu_pd(at.xs + x);
    sy = _mm256_loadu_pd(at.ys + x);
}
__attribute__((target("avx2"))) inline void Load(const RadialPositions& at, int x, __m256d& sx, __m256d& sy) {
    const __m256d f = _mm256_loadu_pd(at.f + x);
    sx = _mm256_add_pd(_mm256_mul_pd(_mm256_loadu_pd(at.dxs + x), f), _mm256_set1_pd(at.cx));
    sy = _mm256_add_pd(_mm256_mul_pd(_mm256_set1_pd(at.dy), f), _mm256_set1_pd(at.cy));
}
__attribute__((target("avx512f"))) inline void Load(const StoredPositions& at, int x, __m512d& sx, __m512d& sy) {
    sx = _mm512_loadu_pd(at.xs + x);
    sy = _mm512_loadu_pd(at.ys + x);
}
__attribute__((target("avx512f"))) inline void Load(const RadialPositions& at, int x, __m512d& sx, __m512d& sy) {
    const __m512d f = _mm512_loadu_pd(at.f + x);
    sx = _mm512_add_pd(_mm512_mul_pd(_mm512_loadu_pd(at.dxs + x), f), _mm512_set1_pd(at.cx));
    sy = _mm512_add_pd(_mm512_mul_pd(_mm512_set1_pd(at.dy), f), _mm512_set1_pd(at.cy));
}

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
template <class Positions>
__attribute__((target("avx2"))) void SampleRowAvx2(const Source& source, const Bitmap& src, const Positions& at,
                                                   int count, std::uint8_t* dst) {
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
        __m256d sx, sy;
        Load(at, x, sx, sy);
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
    SampleColumns(source, src, at, x, count, dst);
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

// Eight pixels at a time, one per 64-bit lane. The four source pixels of each
// output pixel come from two rows; for a smooth correction eight neighbouring
// output pixels read within ten neighbouring source pixels of one or two row
// pairs, so the group loads 32 bytes of each of those rows once and permutes
// every channel straight into its lane. Other groups gather pixel by pixel,
// and groups that are only partly inside take the plain path. Same arithmetic
// and order as SampleColumns, so the bytes are identical.
template <class Positions>
__attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx512vbmi"))) void SampleRowAvx512(
    const Source& source, const Bitmap& src, const Positions& at, int count, std::uint8_t* dst) {
    const std::uint8_t* base = src.bits();
    const std::size_t stride = src.stride();
    const __m512d half = _mm512_set1_pd(0.5), oneHalf = _mm512_set1_pd(1.5), one = _mm512_set1_pd(1.0);
    const __m512d nudge = _mm512_set1_pd(0.00001), white = _mm512_set1_pd(255.0);
    const __m512d maxX = _mm512_set1_pd(source.w - 0.5), maxY = _mm512_set1_pd(source.h - 0.5);
    const __m512i lastX = _mm512_set1_epi64(source.w - 1), lastY = _mm512_set1_epi64(source.h - 1);
    const __m512i eight = _mm512_set1_epi64(8), byteMask = _mm512_set1_epi64(0xFF);
    const __m512i grey = _mm512_set1_epi8(static_cast<char>(source.grey));
    const __m512i greenIn = _mm512_load_si512(kPack.greenIn), redIn = _mm512_load_si512(kPack.redIn);
    constexpr __mmask64 kLaneByte0 = 0x0101010101010101;  // the rest of each lane becomes 0
    constexpr __mmask64 kGroupBytes = 0xFFFFFF;

    int x = 0;
    for (; x + 8 <= count; x += 8, dst += 24) {
        __m512d sx, sy;
        Load(at, x, sx, sy);
        const __mmask8 inside = _mm512_cmp_pd_mask(sx, half, _CMP_GE_OQ) & _mm512_cmp_pd_mask(sx, maxX, _CMP_LE_OQ) &
                                _mm512_cmp_pd_mask(sy, half, _CMP_GE_OQ) & _mm512_cmp_pd_mask(sy, maxY, _CMP_LE_OQ);
        if (inside != 0xFF) {
            if (inside == 0)
                _mm512_mask_storeu_epi8(dst, kGroupBytes, grey);
            else
                SampleColumns(source, src, at, x, x + 8, dst);
            continue;
        }
        sx = _mm512_mask_sub_pd(sx, _mm512_cmp_pd_mask(sx, one, _CMP_GT_OQ), sx, nudge);
        sy = _mm512_mask_sub_pd(sy, _mm512_cmp_pd_mask(sy, one, _CMP_GT_OQ), sy, nudge);
        const __m512i ix = _mm512_cvttpd_epi64(_mm512_sub_pd(sx, half));
        const __m512i iy = _mm512_cvttpd_epi64(_mm512_sub_pd(sy, half));
        const __m512d u = _mm512_sub_pd(sx, _mm512_cvtepi64_pd(ix));
        const __m512d v = _mm512_sub_pd(sy, _mm512_cvtepi64_pd(iy));
        const __m512d u0 = _mm512_sub_pd(oneHalf, u), u1 = _mm512_sub_pd(u, half);
        const __m512d v0 = _mm512_sub_pd(oneHalf, v), v1 = _mm512_sub_pd(v, half);
        const __m512d w[4] = {_mm512_mul_pd(u0, v0), _mm512_mul_pd(u1, v0), _mm512_mul_pd(u0, v1),
                              _mm512_mul_pd(u1, v1)};

        // Channel k of corner c (upper-left, upper-right, lower-left, lower-right) per lane.
        __m512d channel[4][3];
        const std::int64_t firstX = _mm_cvtsi128_si64(_mm512_castsi512_si128(ix));
        // Rows curve across the image, so a group may straddle two rows.
        const std::int64_t rowA = _mm_cvtsi128_si64(_mm512_castsi512_si128(iy));
        const std::int64_t rowB = _mm_extract_epi64(_mm512_extracti64x2_epi64(iy, 3), 1);
        const __mmask8 onA = _mm512_cmpeq_epi64_mask(iy, _mm512_set1_epi64(rowA));
        const __mmask8 onB = _mm512_cmpeq_epi64_mask(iy, _mm512_set1_epi64(rowB)) & static_cast<__mmask8>(~onA);
        const __m512i leftAt = _mm512_sub_epi64(ix, _mm512_set1_epi64(firstX));
        // The 32 loaded bytes of a row hold ten pixels; the right and lower
        // neighbours must be the next pixel and row, not the repeated edge.
        const bool near = (onA | onB) == 0xFF && _mm512_cmpgt_epu64_mask(leftAt, eight) == 0 &&
                          _mm512_cmpge_epi64_mask(ix, lastX) == 0 && _mm512_cmpge_epi64_mask(iy, lastY) == 0;
        if (near) {
            const std::uint8_t* window = base + static_cast<std::size_t>(firstX) * 3;
            const std::uint8_t* upperA = window + static_cast<std::size_t>(rowA) * stride;
            const std::uint8_t* upperB = window + static_cast<std::size_t>(rowB) * stride;
            // The next output rows read a little further down: fetch ahead.
            _mm_prefetch(reinterpret_cast<const char*>(upperA) +
                             (source.ahead > 0 ? 3 : -2) * static_cast<std::ptrdiff_t>(stride),
                         _MM_HINT_T0);
            // Row A in the low half of each table, row B in the high half.
            const __m512i upper = _mm512_inserti64x4(
                _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperA))),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperB)), 1);
            const __m512i lower = _mm512_inserti64x4(
                _mm512_castsi256_si512(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperA + stride))),
                _mm256_loadu_si256(reinterpret_cast<const __m256i*>(upperB + stride)), 1);
            __m512i left = _mm512_add_epi64(_mm512_slli_epi64(leftAt, 1), leftAt);
            left = _mm512_mask_add_epi64(left, onB, left, _mm512_set1_epi64(32));
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
            _mm512_store_si512(cols, ix);
            _mm512_store_si512(rows, iy);
            alignas(64) std::uint64_t pixel[4][8];
            for (int i = 0; i < 8; ++i) {
                const std::size_t right = static_cast<std::size_t>(std::min<std::int64_t>(cols[i] + 1, source.w - 1)) * 3;
                const std::size_t left = static_cast<std::size_t>(cols[i]) * 3;
                const std::uint8_t* upperRow = base + static_cast<std::size_t>(rows[i]) * stride;
                const std::uint8_t* lowerRow =
                    base + static_cast<std::size_t>(std::min<std::int64_t>(rows[i] + 1, source.h - 1)) * stride;
                std::uint32_t p[4];
                std::memcpy(&p[0], upperRow + left, 4);
                std::memcpy(&p[1], upperRow + right, 4);
                std::memcpy(&p[2], lowerRow + left, 4);
                std::memcpy(&p[3], lowerRow + right, 4);
                for (int c = 0; c < 4; ++c) pixel[c][i] = p[c];
            }
            for (int c = 0; c < 4; ++c) {
                const __m512i p = _mm512_load_si512(pixel[c]);
                for (int k = 0; k < 3; ++k)
                    channel[c][k] = _mm512_cvtepi64_pd(_mm512_and_si512(_mm512_srli_epi64(p, 8 * k), byteMask));
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
            value[k] = _mm512_cvtpd_epi64(_mm512_min_pd(acc, white));  // rounds halves to even
        }
        const __m512i blueGreen = _mm512_permutex2var_epi8(value[0], greenIn, value[1]);
        _mm512_mask_storeu_epi8(dst, kGroupBytes, _mm512_permutex2var_epi8(blueGreen, redIn, value[2]));
    }
    SampleColumns(source, src, at, x, count, dst);
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

template <class Positions>
void Resample(const Bitmap& src, const Positions& at, int count, std::uint8_t grey, std::uint8_t* dst, int nextRowStep) {
    const Source source{src.width(), src.height(), grey, nextRowStep >= 0 ? 1 : -1};
#ifdef VANTREL_X86_DISPATCH
    if (g_widest >= ResampleKernel::Widest && HasAvx512()) return SampleRowAvx512(source, src, at, count, dst);
    if (g_widest >= ResampleKernel::Avx2 && HasAvx2()) return SampleRowAvx2(source, src, at, count, dst);
#endif
    SampleColumns(source, src, at, 0, count, dst);
}

}  // namespace

void SetResampleKernelForTesting(ResampleKernel widest) { g_widest = widest; }

void ResampleRow(const Bitmap& src, const double* xs, const double* ys, int count, std::uint8_t grey,
                 std::uint8_t* dst, int nextRowStep) {
    Resample(src, StoredPositions{xs, ys}, count, grey, dst, nextRowStep);
}

void ResampleRadialRow(const Bitmap& src, const double* dxs, const double* f, double dy, double cx, double cy,
                       int count, std::uint8_t grey, std::uint8_t* dst, int nextRowStep) {
    Resample(src, RadialPositions{dxs, f, dy, cx, cy}, count, grey, dst, nextRowStep);
}

}  // namespace vantrel
