#include "workspace/alignment_grid.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <numbers>

#include "util/number_format.h"

namespace vantrel {

namespace {
constexpr double kPi = std::numbers::pi;
double Degrees(double radians) { return radians * 180 / kPi; }
// Offsets to a thousandth of a pixel, which fits the column (+ 0.0 keeps "-0"
// away): whole numbers while every offset is whole, else every one with three
// decimals, so that the row reads as a column of figures.
double Thousandths(double pixels) { return std::round(pixels * 1000) / 1000 + 0.0; }
std::string PixelOffset(double pixels, bool fixed) {
    if (!fixed) return FormatGeneral(Thousandths(pixels), 15);
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", Thousandths(pixels));
    return text;
}
}  // namespace

GridTexts AlignmentGridTexts(const Workspace& ws) {
    GridTexts t(ws.slotCount());
    const double halfFOV = ws.modelHalfFOV();
    auto cell = [&](GridRow row, int c) -> std::string& { return t[static_cast<int>(row)][c]; };
    auto deltaX = [&](const TImageSlot& s) { return s.CP1X - ws.master().MasterCP1X; };
    auto deltaY = [&](const TImageSlot& s) { return s.CP1Y - ws.master().MasterCP1Y; };
    bool fractions = false;
    for (int c = 1; c <= ws.slotCount(); ++c) {
        const TImageSlot& s = ws.slot(c);
        if (s.Loaded && c != ws.MasterIndex())
            for (const double d : {deltaX(s), deltaY(s)}) fractions |= Thousandths(d) != std::round(d);
    }
    for (int c = 1; c <= ws.slotCount(); ++c) {
        const TImageSlot& s = ws.slot(c);
        cell(GridRow::Name, c) = s.FileName;
        cell(GridRow::Size, c) = std::to_string(s.Bitmap.width()) + " x " + std::to_string(s.Bitmap.height());
        cell(GridRow::Luminance, c) = std::to_string(s.Luminance);
        const bool fixed = fractions && c != ws.MasterIndex();  // the master's offset is 0 itself
        cell(GridRow::DeltaX, c) = PixelOffset(deltaX(s), fixed);
        cell(GridRow::DeltaY, c) = PixelOffset(deltaY(s), fixed);
        cell(GridRow::Rotation, c) = FormatGeneral(Degrees(s.Rotation), 5);
        cell(GridRow::Scale, c) = FormatGeneral(s.Scale, 5);
        if (halfFOV > 0) {
            // 0 for a pair pointing right along the horizon; within (-180, 180].
            const double angle = s.CPAngle > 3 * kPi / 2 ? s.CPAngle - 5 * kPi / 2 : s.CPAngle - kPi / 2;
            // The text read back as a number, so rounding noise shows as 0.
            std::string text = FormatGeneral(Degrees(angle), 5);
            if (std::fabs(std::strtod(text.c_str(), nullptr)) < 0.000001) text.assign(1, '0');
            cell(GridRow::CPAngle, c) = std::move(text);
            cell(GridRow::CPLength, c) = FormatGeneral(Degrees(s.CPLength), 5);
        } else {
            cell(GridRow::CPAngle, c) = FormatGeneral(Degrees(s.CPAngle), 5);
            cell(GridRow::CPLength, c) = FormatGeneral(s.CPLength, 5);
        }
    }
    return t;
}

std::string ControlPointListing(const Workspace& ws) {
    std::string out;
    for (int n = 1; n <= kSlotCount; ++n) {
        const TImageSlot& s = ws.slot(n);
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
        if (n < kSlotCount) out += "\n";
    }
    return out;
}

}  // namespace vantrel
