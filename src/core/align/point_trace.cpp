#include "align/point_trace.h"

#include <cmath>
#include <numbers>

#include "align/camera_model.h"
#include "util/number_format.h"

namespace vantrel {

namespace {
double Degrees(Extended radians) { return static_cast<double>(radians * 180 / std::numbers::pi_v<long double>); }
}  // namespace

PointTrace InspectPoint(const AlignedSources& sources, const MasterGeometry& master,
                        const OutputViewState& view, int viewWidth, int viewHeight, int x, int y) {
    PointTrace t;
    const double k = view.zoom;
    const double f = master.focalLengthPx;
    t.masterX = static_cast<int>(view.centerX - std::nearbyint(viewWidth * k / 2) + std::nearbyint(x * k) - master.centerX);
    t.masterY = static_cast<int>(view.centerY - std::nearbyint(viewHeight * k / 2) + std::nearbyint(y * k) - master.centerY);
    Extended a, m;
    PixelToSpherical(f, t.masterX, t.masterY, a, m);
    const FromMasterCP1 relative = RelativeToMasterCP1(master, a, m);
    std::array<Extended, kSlotCount> srcAz{}, srcMer{};
    for (int n = 0; n < kSlotCount && n < static_cast<int>(sources.size()); ++n) {
        if (!sources[n].loaded()) continue;
        const TSlotAlignment& s = *sources[n].alignment;
        SlotDirection(s, relative, srcAz[n], srcMer[n]);
        int sx, sy;
        SphericalToPixel(f, srcAz[n], srcMer[n], sx, sy);
        t.sourceX[n] = static_cast<int>(static_cast<long long>(sx) + s.ImageCenterX);
        t.sourceY[n] = static_cast<int>(static_cast<long long>(sy) + s.ImageCenterY);
        if (std::fabs(srcMer[n]) > std::numbers::pi_v<long double> / 2) t.sourceX[n] = t.sourceY[n] = -1;
    }
    t.azimuth = Degrees(a);
    t.meridian = Degrees(m);
    t.length = Degrees(relative.distance);
    t.angle = Degrees(relative.bearing);
    for (int n = 0; n < kSlotCount; ++n) {
        t.sourceAzimuth[n] = Degrees(srcAz[n]);
        t.sourceMeridian[n] = Degrees(srcMer[n]);
    }

    std::string& out = t.listing;
    auto line = [&](const std::string& text) {
        out += text;
        out += '\n';
    };
    auto number = [](double v) { return FormatGeneral(v, 15); };
    line("Output Point, relative to Top-Left of view box");
    line("Output X =       " + std::to_string(x));
    line("Output Y =       " + std::to_string(y));
    line("");
    line("Output Point, relative to Master Image Centre");
    line("MasterX =        " + std::to_string(t.masterX));
    line("MasterY =        " + std::to_string(t.masterY));
    line("");
    line("Output Point, converted to Spherical co-ords");
    line("MasterAzimuth  = " + number(t.azimuth));
    line("MasterMeridian = " + number(t.meridian));
    line("");
    line("Spherical distance of Output Point from Master Control Point");
    line("TempLength  =    " + number(t.length));
    line("Spherical angle of Output Point to the Master Control Point");
    line("TempAngle   =    " + number(t.angle));
    line("");
    for (int n = 0; n < kSlotCount; ++n) {
        const std::string i = std::to_string(n + 1);
        line("*****   Image " + i + "   *****");
        line("Output Point in Spherical Source Image Co-ords");
        line("SourceAzimuth" + i + " = " + number(t.sourceAzimuth[n]));
        line("SourceMeridian" + i + "= " + number(t.sourceMeridian[n]));
        line("Output Point in Absolute Source Image Co-ords");
        line("SourceX" + i + "       = " + std::to_string(t.sourceX[n]));
        line("SourceY" + i + "       = " + std::to_string(t.sourceY[n]));
        if (n < kSlotCount - 1) line("");
    }
    out.pop_back();

    for (int n = 0; n < kSlotCount; ++n) {
        const int sx = t.sourceX[n], sy = t.sourceY[n];
        // Outside the bitmap reads as the invalid colour, all bytes 255.
        if (n < static_cast<int>(sources.size()) && sources[n].loaded() && sx >= 0 && sy >= 0 && sx < sources[n].image->width() &&
            sy < sources[n].image->height()) {
            const std::uint8_t* p = sources[n].image->row(sy) + static_cast<std::size_t>(sx) * 3;
            t.rgb[n] = {p[2], p[1], p[0]};
        } else {
            t.rgb[n] = {255, 255, 255};
        }
        const std::string i = std::to_string(n + 1);
        t.colourText[n] = "Image " + i + "\n\nR " + i + "  " + std::to_string(t.rgb[n][0]) + "\nG " + i + "  " +
                          std::to_string(t.rgb[n][1]) + "\nB " + i + "  " + std::to_string(t.rgb[n][2]);
    }
    return t;
}

}  // namespace vantrel
