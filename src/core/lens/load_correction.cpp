#include "lens/load_correction.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <mutex>
#include <vector>

#include "imaging/resample.h"
#include "util/parallel.h"

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
    // Locals, so stores to f cannot be taken to change the lens values.
    const double cx = lens.cx, scale = lens.scale, radius = lens.radius;
    const double a = lens.a, b = lens.b, c = lens.c, d = lens.d;
    const int half = (lens.w + 1) / 2;
    for (int x = 0; x < half; ++x) {
        const double dx = (x - cx + 0.5) * scale;
        const double r = std::sqrt(dx * dx + dy * dy) / radius;
        const double r2 = r * r;
        const double p = a * r2 * r2 + b * r2 * r + c * r2 + d * r;
        const double ratio = p / (r == 0 ? 1.0 : r);  // no division by zero, so the loop vectorises
        f[x] = r == 0 ? 1.0 : ratio;
    }
}

// The uncorrected pixels of the last image, kept as the output buffer of the
// next one: brackets share one size, and a buffer already in memory saves
// the page faults of 72 MB of fresh memory per 24 MP image.
std::mutex g_spareMutex;
Bitmap g_spare;
constexpr std::int64_t kMaxSparePixels = 64LL * 1024 * 1024;

Bitmap TakeSpare(int w, int h) {
    {
        std::lock_guard lock(g_spareMutex);
        if (g_spare.width() == w && g_spare.height() == h) return std::move(g_spare);
        g_spare = Bitmap();  // the wrong size: give its memory back first
    }
    return Bitmap::Uninitialized(w, h);
}

void KeepSpare(Bitmap&& buffer) {
    if (static_cast<std::int64_t>(buffer.width()) * buffer.height() > kMaxSparePixels) return;
    std::lock_guard lock(g_spareMutex);
    g_spare = std::move(buffer);
}

}  // namespace

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
    Bitmap out = TakeSpare(w, h);

    Lens lens{w, h, w / 2.0, h / 2.0, std::min(w, h) / 2.0, static_cast<double>(slot.LensScale),
              static_cast<double>(slot.LensA), static_cast<double>(slot.LensB), static_cast<double>(slot.LensC),
              static_cast<double>(slot.LensD), static_cast<std::uint8_t>(std::clamp(slot.Luminance, 0, 255))};

    // Offsets from the centre are exact half-integers times the scale, so a
    // mirrored column or row has exactly the negated offset and the same
    // radial factor: each factor is computed once for four pixels.
    std::vector<double> dxs(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x) dxs[x] = (x - lens.cx + 0.5) * lens.scale;
    const int pairs = (h + 1) / 2;
    const int step = std::max(1, h / 50);
    ParallelFor(
        pairs, std::max(1, step / 2),
        [&](int p0, int p1) {
            std::vector<double> f(static_cast<std::size_t>(w));
            auto correct = [&](int y, double dy, int nextRowStep) {
                ResampleRadialRow(source, dxs.data(), f.data(), dy, lens.cx, lens.cy, w, lens.grey, out.row(y),
                                  nextRowStep);
            };
            for (int y = p0; y < p1; ++y) {
                const double dy = (y - lens.cy + 0.5) * lens.scale;
                HalfRowFactors(lens, dy, f.data());
                for (int x = 0; x < (w + 1) / 2; ++x) f[w - 1 - x] = f[x];
                correct(y, dy, 1);
                const int mirror = h - 1 - y;
                if (mirror != y) correct(mirror, (mirror - lens.cy + 0.5) * lens.scale, -1);
            }
        },
        [&](int done) {
            if (progress) progress(static_cast<int>(std::nearbyint(100.0 * done / pairs)));
        });

    slot.Bitmap = std::move(out);
    KeepSpare(std::move(source));
}

}  // namespace vantrel
