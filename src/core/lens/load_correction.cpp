#include "lens/load_correction.h"

#include <algorithm>
#include <cmath>
#include <vector>

#include "imaging/resample.h"
#include "util/parallel.h"

namespace vantrel {

void ApplyLensCorrection(Bitmap& image, const TLensCorrection& values, std::uint8_t grey,
                         const std::function<void(int)>& progress, Bitmap* spare, RowSpans* covered) {
    if (covered) covered->clear();
    if (values.identity()) return;

    // Work from a local source: the progress callback may run UI events that
    // touch the caller's image, and must not pull it from under the workers.
    Bitmap source = std::move(image);
    const int w = source.width(), h = source.height();
    if (w <= 0 || h <= 0) {
        image = std::move(source);
        return;
    }
    Bitmap out;
    if (spare && spare->width() == w && spare->height() == h && spare->depth() == source.depth())
        out = std::move(*spare);
    else if (spare)
        *spare = Bitmap(), out = Bitmap::Uninitialized(w, h, source.depth());  // the wrong size: its memory goes back first
    else
        out = Bitmap::Uninitialized(w, h, source.depth());
    out.setLinear(source.linear());

    const RadialCorrection lens{w / 2.0, h / 2.0, std::min(w, h) / 2.0, static_cast<double>(values.LensScale),
                                static_cast<double>(values.LensA), static_cast<double>(values.LensB),
                                static_cast<double>(values.LensC), static_cast<double>(values.LensD)};
    if (covered) covered->assign(static_cast<std::size_t>(h), {0, w});
    std::vector<double> dxs(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x) dxs[x] = (x - lens.cx + 0.5) * lens.scale;
    // Rows are corrected with their mirror images, a pair at a time.
    const int pairs = (h + 1) / 2;
    const int step = std::max(1, h / 50);
    ParallelFor(
        pairs, std::max(1, step / 2),
        [&](int p0, int p1) {
            std::vector<double> scratch(static_cast<std::size_t>(w));
            for (int y = p0; y < p1; ++y) {
                ResampleRadialRowPair(source, lens, dxs.data(), scratch.data(), y, grey, out);
                if (!covered) continue;
                (*covered)[y] = RadialInsideColumns(lens, w, h, dxs.data(), scratch.data(), y);
                if (h - 1 - y != y) (*covered)[h - 1 - y] = RadialInsideColumns(lens, w, h, dxs.data(), scratch.data(), h - 1 - y);
            }
        },
        [&](int done) {
            if (progress) progress(static_cast<int>(std::nearbyint(100.0 * done / pairs)));
        });

    image = std::move(out);
    if (spare) *spare = std::move(source);
}

}  // namespace vantrel
