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

    // Radial factor of an output offset: source offset = output offset x f.
    double factor(double dx, double dy) const {
        const double r = std::sqrt(dx * dx + dy * dy) / radius;
        if (r == 0) return 1.0;
        const double r2 = r * r;
        return (a * r2 * r2 + b * r2 * r + c * r2 + d * r) / r;
    }
};

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
void CorrectRowPlain(const Lens& lens, const Bitmap& src, const double* f, double dy, std::uint8_t* dst) {
    const std::uint8_t* base = src.bits();
    for (int x = 0; x < lens.w; ++x, dst += 3) {
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

#ifdef VANTREL_X86_DISPATCH
__attribute__((target("avx2"))) inline __m256d Load3(const std::uint8_t* p) {
    std::int32_t four;
    std::memcpy(&four, p, 4);  // the fourth byte is ignored; bitmaps keep slack for it
    return _mm256_cvtepi32_pd(_mm_cvtepu8_epi32(_mm_cvtsi32_si128(four)));
}

// The same arithmetic as CorrectRowPlain, three channels per vector. No fused
// multiply-add, and the conversion rounds halves to even like ClampByte.
__attribute__((target("avx2"))) void CorrectRowAvx2(const Lens& lens, const Bitmap& src, const double* f, double dy,
                                                    std::uint8_t* dst) {
    const std::uint8_t* base = src.bits();
    for (int x = 0; x < lens.w; ++x, dst += 3) {
        const double dx = (x - lens.cx + 0.5) * lens.scale;
        const Sample s = Locate(lens, src.stride(), dx * f[x] + lens.cx, dy * f[x] + lens.cy);
        if (!s.inside) {
            dst[0] = dst[1] = dst[2] = lens.grey;
            continue;
        }
        __m256d acc = _mm256_mul_pd(_mm256_set1_pd(s.wa), Load3(base + s.top + s.left));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_set1_pd(s.wb), Load3(base + s.top + s.right)));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_set1_pd(s.wc), Load3(base + s.bottom + s.left)));
        acc = _mm256_add_pd(acc, _mm256_mul_pd(_mm256_set1_pd(s.wd), Load3(base + s.bottom + s.right)));
        __m128i q = _mm256_cvtpd_epi32(acc);
        q = _mm_packus_epi16(_mm_packs_epi32(q, q), q);
        const std::int32_t bytes = _mm_cvtsi128_si32(q);
        std::memcpy(dst, &bytes, 3);
    }
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
    Bitmap out(w, h);

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
                for (int x = 0; x < (w + 1) / 2; ++x)
                    f[x] = f[w - 1 - x] = lens.factor((x - lens.cx + 0.5) * lens.scale, dy);
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
