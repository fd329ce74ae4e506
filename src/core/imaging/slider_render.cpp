#include "imaging/slider_render.h"

#include <algorithm>
#include <cmath>
#include <numbers>
#include <vector>

namespace vantrel {

namespace {

constexpr Rgb kKnobHot{0, 255, 0};

bool Is(const Bitmap& b, int x, int y, Rgb c) {
    const std::uint8_t* p = b.row(y) + static_cast<std::size_t>(x) * 3;
    return p[0] == c.blue && p[1] == c.green && p[2] == c.red;
}

struct Geometry {
    int margin;
    int endTickTop, endTickBottom;  // end ticks run from bottom up to top (exclusive)
    int divisions;
    int knobHalfWidth, knobBottom;
};

void DrawSlider(Bitmap& b, const Geometry& g, int knobX, bool hot, Rgb face) {
    const int w = b.width();
    FillRect(b, 0, 0, w, b.height(), face);
    const int m = g.margin;
    DrawLine(b, m, 3, w - m, 3, kBlack);
    DrawLine(b, m, g.endTickBottom, m, g.endTickTop, kBlack);
    DrawLine(b, w - m, g.endTickBottom, w - m, g.endTickTop, kBlack);
    for (int i = 1; i < g.divisions; ++i) {
        const int x = (w - 2 * m) * i / g.divisions + m;
        DrawLine(b, x, 3, x, 0, kBlack);
    }
    DrawLine(b, knobX, 3, knobX - g.knobHalfWidth, g.knobBottom, kBlack);
    DrawLine(b, knobX - g.knobHalfWidth, g.knobBottom, knobX + g.knobHalfWidth, g.knobBottom, kBlack);
    DrawLine(b, knobX + g.knobHalfWidth, g.knobBottom, knobX, 3, kBlack);
    FloodFill(b, knobX, 7, hot ? kKnobHot : kGrey, kBlack);
}

}  // namespace

int BrightnessKnobX(int width, int brightness) { return 5 + ((width - 10) * (brightness + 255)) / 510; }

int FOVKnobX(int width, double halfFOV) {
    return static_cast<int>(std::nearbyint((width - 14) * halfFOV / (std::numbers::pi / 2))) + 8;
}

void DrawBrightnessSlider(Bitmap& bitmap, int brightness, bool hot, Rgb face) {
    if (bitmap.empty()) return;
    DrawSlider(bitmap, {5, -2, 4, 10, 5, 13}, BrightnessKnobX(bitmap.width(), brightness), hot, face);
}

void DrawFOVSlider(Bitmap& bitmap, double halfFOV, bool hot, Rgb face) {
    if (bitmap.empty()) return;
    DrawSlider(bitmap, {7, 0, 5, 18, 6, 15}, FOVKnobX(bitmap.width(), halfFOV), hot, face);
}

void DrawValueSlider(Bitmap& bitmap, double value, double low, double high, bool hot, Rgb face) {
    if (bitmap.empty()) return;
    const int w = bitmap.width();
    const double p = std::nearbyint((value - low) * (w - 10) / (high - low));
    const int knob = static_cast<int>(std::clamp(p, -1000.0, 1000.0)) + 5;
    DrawSlider(bitmap, {5, -2, 4, 10, 4, 11}, knob, hot, face);
}

void FloodFill(Bitmap& bitmap, int x, int y, Rgb fill, Rgb border) {
    const int w = bitmap.width(), h = bitmap.height();
    if (x < 0 || y < 0 || x >= w || y >= h || Is(bitmap, x, y, border) || Is(bitmap, x, y, fill)) return;
    std::vector<std::pair<int, int>> stack{{x, y}};
    while (!stack.empty()) {
        auto [px, py] = stack.back();
        stack.pop_back();
        if (px < 0 || py < 0 || px >= w || py >= h || Is(bitmap, px, py, border) || Is(bitmap, px, py, fill)) continue;
        SetPixel(bitmap, px, py, fill);
        stack.push_back({px + 1, py});
        stack.push_back({px - 1, py});
        stack.push_back({px, py + 1});
        stack.push_back({px, py - 1});
    }
}

}  // namespace vantrel
