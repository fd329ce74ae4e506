#include "lens/load_correction.h"

#include <algorithm>
#include <cmath>

#include "util/parallel.h"

namespace vantrel {

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

    const double cx = w / 2.0, cy = h / 2.0;
    const double radius = std::min(w, h) / 2.0;
    const double scale = static_cast<double>(slot.LensScale);
    const double a = static_cast<double>(slot.LensA), b = static_cast<double>(slot.LensB);
    const double c = static_cast<double>(slot.LensC), d = static_cast<double>(slot.LensD);
    const std::uint8_t grey = static_cast<std::uint8_t>(std::clamp(slot.Luminance, 0, 255));
    const int step = std::max(1, h / 50);

    ParallelFor(
        h, step,
        [&](int y0, int y1) {
            for (int y = y0; y < y1; ++y) {
                std::uint8_t* dst = out.row(y);
                const double dy = (y - cy + 0.5) * scale;
                for (int x = 0; x < w; ++x, dst += 3) {
                    const double dx = (x - cx + 0.5) * scale;
                    const double r = std::sqrt(dx * dx + dy * dy) / radius;
                    const double r2 = r * r;
                    const double f = r == 0 ? 1.0 : (a * r2 * r2 + b * r2 * r + c * r2 + d * r) / r;
                    double sx = dx * f + cx;
                    double sy = dy * f + cy;
                    if (sx >= 0.5 && sx <= w - 0.5 && sy >= 0.5 && sy <= h - 0.5) {
                        if (sx > 1) sx -= 0.00001;
                        if (sy > 1) sy -= 0.00001;
                        const int ix = static_cast<int>(std::floor(sx - 0.5));
                        const int iy = static_cast<int>(std::floor(sy - 0.5));
                        const double u = sx - ix, v = sy - iy;
                        // A 1-pixel-wide or -high image has no second column or
                        // row; its weight is 0 there, so repeat the edge.
                        const int ix1 = std::min(ix + 1, w - 1), iy1 = std::min(iy + 1, h - 1);
                        const std::uint8_t* top = source.row(iy);
                        const std::uint8_t* bottom = source.row(iy1);
                        const std::uint8_t* pa = top + ix * 3;
                        const std::uint8_t* pb = top + ix1 * 3;
                        const std::uint8_t* pc = bottom + ix * 3;
                        const std::uint8_t* pd = bottom + ix1 * 3;
                        for (int k = 0; k < 3; ++k)
                            dst[k] = ClampByte(BlendBilinear(pa[k], pb[k], pc[k], pd[k], u, v));
                    } else {
                        dst[0] = dst[1] = dst[2] = grey;
                    }
                }
            }
        },
        [&](int done) {
            if (progress) progress(static_cast<int>(std::nearbyint(100.0 * done / h)));
        });

    slot.Bitmap = std::move(out);
}

}  // namespace vantrel
