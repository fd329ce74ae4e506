#include "align/alignment.h"

#include <cmath>
#include <cstdlib>
#include <numbers>

#include "align/camera_model.h"
#include "align/number_format.h"

namespace vantrel {

namespace {
constexpr double kPi = std::numbers::pi;
double Degrees(double radians) { return radians * 180 / kPi; }
}  // namespace

void SolveSlot(TImageSlot& slot, double halfFOV, double focalLengthPx) {
    slot.CPAngle = 0;
    slot.CPLength = 1;
    if (SphericalModelApplies(halfFOV, focalLengthPx)) {
        PixelToSpherical(focalLengthPx, slot.CP1X - slot.ImageCenterX, slot.CP1Y - slot.ImageCenterY, slot.CP1Azimuth,
                         slot.CP1Meridian);
        PixelToSpherical(focalLengthPx, slot.CP2X - slot.ImageCenterX, slot.CP2Y - slot.ImageCenterY, slot.CP2Azimuth,
                         slot.CP2Meridian);
        // The arc cosine of a rounded 1 is not 0: coincident points are told by their pixels.
        const bool coincident = slot.CP1X == slot.CP2X && slot.CP1Y == slot.CP2Y;
        const Extended length =
            coincident ? 0 : SphericalDistance(slot.CP1Azimuth, slot.CP2Azimuth, slot.CP1Meridian - slot.CP2Meridian);
        slot.CPLength = static_cast<double>(length);
        slot.CPAngle = static_cast<double>(
            PairAngle(slot.CP2Azimuth, length, slot.CP1Azimuth, slot.CP1Meridian - slot.CP2Meridian));
        if (slot.CPLength == 0) slot.CPLength = 1;
        return;
    }
    // The image plane; the spherical angles keep their last values.
    const double dx = static_cast<double>(slot.CP2X) - slot.CP1X;
    const double dy = static_cast<double>(slot.CP2Y) - slot.CP1Y;
    if (dx == 0 && dy == 0) return;
    slot.CPLength = std::hypot(dx, dy);
    if (dx == 0)
        slot.CPAngle = dy > 0 ? kPi / 2 : -kPi / 2;
    else
        slot.CPAngle = std::atan2(dy, dx);
}

GridTexts AlignmentGridTexts(const std::array<TImageSlot, 3>& slots, MasterPoints master, double halfFOV) {
    GridTexts t;
    for (int c = 1; c <= 3; ++c) {
        const TImageSlot& s = slots[c - 1];
        t[1][c] = s.FileName;
        t[2][c] = std::to_string(s.Bitmap.width());
        t[2][c] += " x ";
        t[2][c] += std::to_string(s.Bitmap.height());
        t[3][c] = std::to_string(s.Luminance);
        t[6][c] = std::to_string(static_cast<long long>(s.CP1X) - master.cp1X);
        t[7][c] = std::to_string(static_cast<long long>(s.CP1Y) - master.cp1Y);
        t[8][c] = FormatGeneral(Degrees(s.Rotation), 5);
        t[9][c] = FormatGeneral(s.Scale, 5);
        if (halfFOV > 0) {
            // 0 for a pair pointing right along the horizon; within (-180, 180].
            const double angle = s.CPAngle > 3 * kPi / 2 ? s.CPAngle - 5 * kPi / 2 : s.CPAngle - kPi / 2;
            // The text read back as a number, so rounding noise shows as 0.
            std::string text = FormatGeneral(Degrees(angle), 5);
            if (std::fabs(std::strtod(text.c_str(), nullptr)) < 0.000001) text.assign(1, '0');
            t[4][c] = std::move(text);
            t[5][c] = FormatGeneral(Degrees(s.CPLength), 5);
        } else {
            t[4][c] = FormatGeneral(Degrees(s.CPAngle), 5);
            t[5][c] = FormatGeneral(s.CPLength, 5);
        }
    }
    return t;
}

std::string ControlPointListing(const std::array<TImageSlot, 3>& slots) {
    std::string out;
    for (int n = 1; n <= 3; ++n) {
        const TImageSlot& s = slots[n - 1];
        const bool wide = n == 1;
        auto line = [&](const char* wideLabel, const char* narrowLabel, double value) {
            out += wide ? wideLabel : narrowLabel;
            out += FormatGeneral(value, 15);
            out += '\n';
        };
        const auto slash = s.FilePath.find_last_of("/\\:");
        out.append(s.FilePath, slash == std::string::npos ? 0 : slash + 1);
        out += '\n';
        line("Angle        ", "Angle     ", Degrees(s.CPAngle));
        line("Rotation     ", "Rotation  ", Degrees(s.Rotation));
        line("Length       ", "Length    ", Degrees(s.CPLength));
        line("Scale        ", "Scale     ", s.Scale);
        line("CP1 Azimuth  ", "CP1 Azimuth  ", Degrees(static_cast<double>(s.CP1Azimuth)));
        line("CP1 Meridian ", "CP1 Meridian ", Degrees(static_cast<double>(s.CP1Meridian)));
        line("CP2 Azimuth  ", "CP2 Azimuth  ", Degrees(static_cast<double>(s.CP2Azimuth)));
        line("CP2 Meridian ", "CP2 Meridian ", Degrees(static_cast<double>(s.CP2Meridian)));
        if (n < 3) out += "\n";
    }
    return out;
}

}  // namespace vantrel
