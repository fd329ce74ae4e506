#include "lens/load_correction.h"

#include <algorithm>
#include <cmath>
#include <mutex>
#include <vector>

#include "imaging/resample.h"
#include "util/parallel.h"

namespace vantrel {
namespace {

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

    const RadialCorrection lens{w / 2.0, h / 2.0, std::min(w, h) / 2.0, static_cast<double>(slot.LensScale),
                                static_cast<double>(slot.LensA), static_cast<double>(slot.LensB),
                                static_cast<double>(slot.LensC), static_cast<double>(slot.LensD)};
    const auto grey = static_cast<std::uint8_t>(std::clamp(slot.Luminance, 0, 255));
    std::vector<double> dxs(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x) dxs[x] = (x - lens.cx + 0.5) * lens.scale;
    // Rows are corrected with their mirror images, a pair at a time.
    const int pairs = (h + 1) / 2;
    const int step = std::max(1, h / 50);
    ParallelFor(
        pairs, std::max(1, step / 2),
        [&](int p0, int p1) {
            std::vector<double> scratch(static_cast<std::size_t>(w));
            for (int y = p0; y < p1; ++y) ResampleRadialRowPair(source, lens, dxs.data(), scratch.data(), y, grey, out);
        },
        [&](int done) {
            if (progress) progress(static_cast<int>(std::nearbyint(100.0 * done / pairs)));
        });

    slot.Bitmap = std::move(out);
    KeepSpare(std::move(source));
}

}  // namespace vantrel
