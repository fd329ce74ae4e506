#include "imaging/view_render.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cmath>
#include <vector>

#include "imaging/pixel.h"

namespace vantrel {

int RoundToInt(double v) {
    const double r = std::nearbyint(v);
    if (!(r > INT_MIN)) return std::isnan(r) ? 0 : INT_MIN;
    if (r >= INT_MAX) return INT_MAX;
    return static_cast<int>(r);
}

MarkCentre ViewPosition(double sourceX, double sourceY, int centerX, int centerY, double zoom, int viewWidth,
                        int viewHeight) {
    constexpr double kFar = 100000;
    auto place = [&](double source, int center, int size) {
        // A sub-pixel point shows at its nearest view pixel.
        const double offset = std::nearbyint((source - center) / zoom);
        return size / 2 + static_cast<int>(std::clamp(offset, -kFar, kFar));
    };
    return {place(sourceX, centerX, viewWidth), place(sourceY, centerY, viewHeight)};
}

namespace {

// The displayed value of each byte at brightness b; at b = 0 every byte but 0
// shows one level darker.
std::array<std::uint8_t, 256> BrightnessTable(int b) {
    const Extended f = BrightnessFactor(b);
    std::array<std::uint8_t, 256> table{};
    for (int v = 0; v < 256; ++v) {
        const Extended shown = b > 0 ? std::ceil(v * f) : 255 - std::ceil((256 - v) / f);
        table[v] = static_cast<std::uint8_t>(std::clamp<Extended>(shown, 0, 255));
    }
    return table;
}

}  // namespace

bool RenderScaledView(const Bitmap& source, int brightness, int centerX, int centerY, double zoom, Bitmap& view) {
    const int w = source.width(), h = source.height();
    if (w == 0 || h == 0 || view.empty()) return false;
    const int vw = view.width(), vh = view.height();
    const double z = zoom;
    const auto table = BrightnessTable(brightness);

    // Positions in doubles: a huge zoom or a far-off centre must not overflow.
    const double ox = centerX - std::nearbyint(vw * z / 2);
    const double oy = centerY - std::nearbyint(vh * z / 2);
    std::vector<int> columns(static_cast<std::size_t>(vw));
    for (int vx = 0; vx < vw; ++vx) {
        const double sx = std::nearbyint(vx * z) + ox;
        columns[vx] = (sx >= 0 && sx <= w - 1) ? static_cast<int>(sx) * 3 : -1;
    }
    for (int vy = 0; vy < vh; ++vy) {
        std::uint8_t* out = view.row(vy);
        const double sy = std::nearbyint(vy * z) + oy;
        if (!(sy >= 0 && sy <= h - 1)) {
            std::fill(out, out + static_cast<std::size_t>(vw) * 3, 0);
            continue;
        }
        const std::uint8_t* in = source.row(static_cast<int>(sy));
        for (int vx = 0; vx < vw; ++vx, out += 3) {
            const int at = columns[vx];
            if (at < 0) {
                out[0] = out[1] = out[2] = 0;
            } else {
                out[0] = table[in[at]];
                out[1] = table[in[at + 1]];
                out[2] = table[in[at + 2]];
            }
        }
    }
    return true;
}

void RenderHistogramView(const Histogram256& histogram, int brightness, Bitmap& histo) {
    const int hw = histo.width(), hh = histo.height();
    if (hw < 2 || hh < 1) return;
    std::vector<std::int64_t> col(static_cast<std::size_t>(hw));
    std::int64_t peak = 1;
    for (int x = 0; x < hw; ++x) {
        // Bins 0..254 only: bin 255 (clipped highlights) would dwarf the rest.
        col[x] = histogram[static_cast<std::size_t>(std::nearbyint(254.0 * x / (hw - 1)))];
        peak = std::max(peak, col[x]);
    }
    for (auto& c : col) c = static_cast<std::int64_t>(std::nearbyint(static_cast<double>(hh) * c / peak));

    FillRect(histo, 0, 0, hw, hh, kWhite);
    const int bottom = hh - 1;
    const int shift = RoundToInt(static_cast<double>(hw) * brightness / 254);
    for (int x = 0; x < hw; ++x) {
        const long long i = static_cast<long long>(x) - shift;
        if (i >= 0 && i <= hw - 1)
            DrawLine(histo, x, bottom, x, bottom - static_cast<int>(col[i]), kGrey);
        else
            DrawLine(histo, std::max(x - 1, 0), bottom, x, bottom, kGrey);
    }
    int px = 0, py = bottom;
    for (int x = 0; x < hw; ++x) {
        const int y = bottom - static_cast<int>(col[x]);
        DrawLine(histo, px, py, x, y, kBlack);
        px = x;
        py = y;
    }
    DrawFrame(histo, kBlack);
}

}  // namespace vantrel
