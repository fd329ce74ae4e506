#include "lens/load_correction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <vector>

#include "util/parallel.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <immintrin.h>
#define VANTREL_X86_DISPATCH 1
#endif

namespace vantrel {
namespace {

struct Lens {
    int w, h;
    double cx, cy, radius, scale, a, b, c, d;
    std::uint8_t grey;
};

// Radial factors of the left half of a row; a plain loop the vectoriser turns
// into packed square roots and divisions, which round exactly like scalar ones.
#if defined(__x86_64__) && defined(__GNUC__) && !defined(__clang__)
__attribute__((target_clones("avx2", "default")))
#endif
void HalfRowFactors(const Lens& lens, double dy, double* f) {
    const int half = (lens.w + 1) / 2;
    for (int x = 0; x < half; ++x) {
        const double dx = (x - lens.cx + 0.5) * lens.scale;
        const double r = std::sqrt(dx * dx + dy * dy) / lens.radius;
        const double r2 = r * r;
        const double p = lens.a * r2 * r2 + lens.b * r2 * r + lens.c * r2 + lens.d * r;
        f[x] = r == 0 ? 1.0 : p / r;
    }
}

// Where an output pixel samples the source: the four neighbours' byte offsets
// and their bilinear weights, or outside.
struct Sample {
    bool inside;
    std::size_t top, bottom;  // row offsets
    int left, right;          // byte offsets within a row
    double wa, wb, wc, wd;
};

inline Sample Locate(const Lens& lens, std::size_t stride, double sx, double sy) {
    Sample s{};
    s.inside = sx >= 0.5 && sx <= lens.w - 0.5 && sy >= 0.5 && sy <= lens.h - 0.5;
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
    s.right = std::min(ix + 1, lens.w - 1) * 3;
    s.top = static_cast<std::size_t>(iy) * stride;
    s.bottom = static_cast<std::size_t>(std::min(iy + 1, lens.h - 1)) * stride;
    s.wa = (1.5 - u) * (1.5 - v);
    s.wb = (u - 0.5) * (1.5 - v);
    s.wc = (1.5 - u) * (v - 0.5);
    s.wd = (u - 0.5) * (v - 0.5);
    return s;
}

// One output row from the radial factors of its columns. Plain version: the
// reference for the vector one, which must give the same bytes.
void CorrectColumns(const Lens& lens, const Bitmap& src, const double* f, double dy, std::uint8_t* dst, int from) {
    const std::uint8_t* base = src.bits();
    for (int x = from; x < lens.w; ++x, dst += 3) {
        const double dx = (x - lens.cx + 0.5) * lens.scale;
        const Sample s = Locate(lens, src.stride(), dx * f[x] + lens.cx, dy * f[x] + lens.cy);
        if (!s.inside) {
            dst[0] = dst[1] = dst[2] = lens.grey;
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

void CorrectRowPlain(const Lens& lens, const Bitmap& src, const double* f, double dy, std::uint8_t* dst) {
    CorrectColumns(lens, src, f, dy, dst, 0);
}

#ifdef VANTREL_X86_DISPATCH
// One colour channel of four gathered pixels, as doubles.
__attribute__((target("avx2"))) inline __m256d Channel(__m128i pixels, __m128i shift, __m128i byteMask) {
    return _mm256_cvtepi32_pd(_mm_and_si128(_mm_srl_epi32(pixels, shift), byteMask));
}

// The same arithmetic as CorrectRowPlain, four pixels at a time: no fused
// multiply-add, truncation where the plain code truncates, and conversions
// that round halves to even like ClampByte.
__attribute__((target("avx2"))) void CorrectRowAvx2(const Lens& lens, const Bitmap& src, const double* f, double dy,
                                                    std::uint8_t* dst) {
    const auto* base = reinterpret_cast<const int*>(src.bits());
    const __m256d cx = _mm256_set1_pd(lens.cx), cy = _mm256_set1_pd(lens.cy);
    const __m256d half = _mm256_set1_pd(0.5), oneHalf = _mm256_set1_pd(1.5), one = _mm256_set1_pd(1.0);
    const __m256d nudge = _mm256_set1_pd(0.00001), scale = _mm256_set1_pd(lens.scale);
    const __m256d maxX = _mm256_set1_pd(lens.w - 0.5), maxY = _mm256_set1_pd(lens.h - 0.5);
    const __m256d vdy = _mm256_set1_pd(dy);
    const __m128i lastX = _mm_set1_epi32(lens.w - 1), lastY = _mm_set1_epi32(lens.h - 1);
    const __m128i three = _mm_set1_epi32(3), stride = _mm_set1_epi32(static_cast<int>(src.stride()));
    const __m128i byteMask = _mm_set1_epi32(0xFF), oneI = _mm_set1_epi32(1);
    const __m128i grey = _mm_set1_epi32(lens.grey * 0x010101);
    const __m128i packBytes = _mm_setr_epi8(0, 1, 2, 4, 5, 6, 8, 9, 10, 12, 13, 14, -1, -1, -1, -1);

    int x = 0;
    for (; x + 4 <= lens.w; x += 4, dst += 12) {
        const __m256d xs = _mm256_cvtepi32_pd(_mm_add_epi32(_mm_set1_epi32(x), _mm_setr_epi32(0, 1, 2, 3)));
        const __m256d dx = _mm256_mul_pd(_mm256_add_pd(_mm256_sub_pd(xs, cx), half), scale);
        const __m256d fx = _mm256_loadu_pd(f + x);
        __m256d sx = _mm256_add_pd(_mm256_mul_pd(dx, fx), cx);
        __m256d sy = _mm256_add_pd(_mm256_mul_pd(vdy, fx), cy);
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
        const __m128i pa = _mm_i32gather_epi32(base, _mm_add_epi32(top, left), 1);
        const __m128i pb = _mm_i32gather_epi32(base, _mm_add_epi32(top, right), 1);
        const __m128i pc = _mm_i32gather_epi32(base, _mm_add_epi32(bottom, left), 1);
        const __m128i pd = _mm_i32gather_epi32(base, _mm_add_epi32(bottom, right), 1);

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
    CorrectColumns(lens, src, f, dy, dst, x);
}

bool HasAvx2() {
    static const bool has = __builtin_cpu_supports("avx2");
    return has;
}
#endif

bool g_forcePlain = false;

void CorrectRow(const Lens& lens, const Bitmap& src, const double* f, double dy, std::uint8_t* dst) {
#ifdef VANTREL_X86_DISPATCH
    if (!g_forcePlain && HasAvx2()) return CorrectRowAvx2(lens, src, f, dy, dst);
#endif
    CorrectRowPlain(lens, src, f, dy, dst);
}

}  // namespace

void SetPlainLensKernelForTesting(bool plain) { g_forcePlain = plain; }

void ApplySlotLensCorrection(TImageSlot& slot, const std::function<void(int)>& progress) {
    if (slot.LensScale == 1 && slot.LensA == 0 && slot.LensB == 0 && slot.LensC == 0) return;

    // Work from a local source: the progress callback may run UI events that
    // touch the slot, and must not pull the image from under the workers.
    Bitmap source = std::move(slot.Bitmap);
    const int w = source.width(), h = source.height();
    if (w <= 0 || h <= 0) {
        slot.Bitmap = std::move(source);
        return;
    }
    Bitmap out = Bitmap::Uninitialized(w, h);

    Lens lens{w, h, w / 2.0, h / 2.0, std::min(w, h) / 2.0, static_cast<double>(slot.LensScale),
              static_cast<double>(slot.LensA), static_cast<double>(slot.LensB), static_cast<double>(slot.LensC),
              static_cast<double>(slot.LensD), static_cast<std::uint8_t>(std::clamp(slot.Luminance, 0, 255))};

    // Offsets from the centre are exact half-integers times the scale, so a
    // mirrored column or row has exactly the negated offset and the same
    // radial factor: each factor is computed once for four pixels.
    const int pairs = (h + 1) / 2;
    const int step = std::max(1, h / 50);
    ParallelFor(
        pairs, std::max(1, step / 2),
        [&](int p0, int p1) {
            std::vector<double> f(static_cast<std::size_t>(w));
            for (int y = p0; y < p1; ++y) {
                const double dy = (y - lens.cy + 0.5) * lens.scale;
                HalfRowFactors(lens, dy, f.data());
                for (int x = 0; x < (w + 1) / 2; ++x) f[w - 1 - x] = f[x];
                CorrectRow(lens, source, f.data(), dy, out.row(y));
                const int mirror = h - 1 - y;
                if (mirror != y) CorrectRow(lens, source, f.data(), (mirror - lens.cy + 0.5) * lens.scale, out.row(mirror));
            }
        },
        [&](int done) {
            if (progress) progress(static_cast<int>(std::nearbyint(100.0 * done / pairs)));
        });

    slot.Bitmap = std::move(out);
}

}  // namespace vantrel
