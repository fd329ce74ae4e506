#include "workspace/workspace.h"

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <numbers>

#include "align/alignment.h"
#include "align/camera_model.h"
#include "imaging/luminance.h"
#include "imaging/view_render.h"
#include "lens/load_correction.h"

namespace vantrel {

Workspace::Workspace(const std::string& currentDir) : FileList(3), OpenDir(currentDir), LastOutputDir(currentDir) {
    UpdateFocalLength();
    for (int n = 1; n <= 3; ++n) clearSlot(n);
    ResetOutputView();
}

void Workspace::clearSlot(int n) { ClearSlot(slot(n), kInputViewSize, kHistoBoxSize, kSliderBoxSize); }

LoadOutcome Workspace::loadSlot(int n, const std::string& path, const std::function<void(int)>& progress) {
    Bitmap fresh;
    const LoadOutcome outcome = LoadImageFile(path, fresh);
    if (outcome != LoadOutcome::Loaded) return outcome;
    TImageSlot& s = slot(n);
    s.FilePath = path;
    s.Bitmap = std::move(fresh);
    FinishSlotLoad(s);
    ComputeLuminance(s.Bitmap, s.Luminance, s.Histogram);
    ApplySlotLensCorrection(s, progress);
    return outcome;
}

void Workspace::FinishSlotLoad(TImageSlot& s) {
    const int w = s.Bitmap.width(), h = s.Bitmap.height();
    if (static_cast<long long>(w) * h < 1) {
        s.Loaded = false;
        return;
    }
    s.Loaded = true;
    s.FileName = FileNameOf(s.FilePath);
    s.ImageCenterX = s.ViewCenterX = w / 2;
    s.ImageCenterY = s.ViewCenterY = h / 2;
    const int vw = std::max(1, s.ViewBitmap.width()), vh = std::max(1, s.ViewBitmap.height());
    s.Zoom = 1.1 * std::max(static_cast<double>(w) / vw, static_cast<double>(h) / vh);
    s.CP1X = w / 10;
    s.CP1Y = h / 2;
    s.CP2X = w - w / 10;
    s.CP2Y = h / 2;
    s.Brightness = 0;
    SolveSlot(s, modelHalfFOV(), FocalLengthPx);
    s.LensScale = LensScale;
    s.LensA = LensA;
    s.LensB = LensB;
    s.LensC = LensC;
    s.LensD = LensD;
}

void Workspace::setLens(const LensModel& model) {
    LensScale = model.OverallScale;
    LensA = model.CoeffA;
    LensB = model.CoeffB;
    LensC = model.CoeffC;
    LensD = model.CoeffD;
}

void Workspace::zoomInputViews(bool in) {
    for (auto& s : Slots) s.Zoom = in ? s.Zoom / 1.1 : s.Zoom * 1.1;
}

void Workspace::fitInputViews() {
    for (auto& s : Slots) {
        const int w = s.Bitmap.width(), h = s.Bitmap.height();
        if (w <= 0 || h <= 0) continue;
        s.ViewCenterX = w / 2;
        s.ViewCenterY = h / 2;
        const int vw = std::max(1, s.ViewBitmap.width()), vh = std::max(1, s.ViewBitmap.height());
        s.Zoom = 1.1 * std::max(static_cast<double>(w) / vw, static_cast<double>(h) / vh);
    }
}

void Workspace::inputViewsOneToOne() {
    for (auto& s : Slots) s.Zoom = 1;
}

void Workspace::centreInputViewsOnCP(int cp) {
    for (auto& s : Slots) {
        s.ViewCenterX = cp == 1 ? s.CP1X : s.CP2X;
        s.ViewCenterY = cp == 1 ? s.CP1Y : s.CP2Y;
    }
}

void Workspace::CaptureDragStart() {
    for (std::size_t i = 0; i < Slots.size(); ++i) {
        const TImageSlot& s = Slots[i];
        DragStart[i] = {s.CP1X, s.CP1Y, s.CP2X, s.CP2Y, s.ViewCenterX, s.ViewCenterY, s.Brightness};
    }
    OutputDragStartX = OutputViewCenterX;
    OutputDragStartY = OutputViewCenterY;
}

void Workspace::panInputView(int n, int x, int y) {
    TImageSlot& s = slot(n);
    const TDragSnapshot& start = DragStart.at(static_cast<std::size_t>(n - 1));
    const double dx = static_cast<double>(x) - MouseDownX;
    const double dy = static_cast<double>(y) - MouseDownY;
    s.ViewCenterX = RoundToInt(start.ViewCenterX - std::nearbyint(dx * s.Zoom));
    s.ViewCenterY = RoundToInt(start.ViewCenterY - std::nearbyint(dy * s.Zoom));
}

int Workspace::masterByLuminance() const {
    std::vector<int> loaded;
    for (int n = 1; n <= 3; ++n)
        if (slot(n).Loaded) loaded.push_back(n);
    auto lum = [&](int n) { return slot(n).Luminance; };
    switch (loaded.size()) {
        case 0: return 0;
        case 1: return loaded[0];
        case 2: {
            // Nearer to mid-grey; a tie goes to the higher slot unless it is slot 2.
            const int a = loaded[0], b = loaded[1];
            const int da = std::abs(126 - lum(a)), db = std::abs(126 - lum(b));
            if (da != db) return da < db ? a : b;
            return b == 2 ? a : b;
        }
        default: {
            const int avg = (lum(1) + lum(2) + lum(3)) / 3;
            int chosen = std::abs(avg - lum(1)) < std::abs(avg - lum(2)) ? 1 : 2;
            if (std::abs(avg - lum(3)) < std::abs(avg - lum(chosen))) chosen = 3;
            return chosen;
        }
    }
}

void Workspace::SelectMaster(int n) {
    const TImageSlot& s = slot(n);
    MasterIndex = n;
    MasterWidth = s.Bitmap.width();
    MasterHeight = s.Bitmap.height();
    MasterCenterX = s.ImageCenterX;
    MasterCenterY = s.ImageCenterY;
    copyMasterPoints(s);
    OutputViewCenterX = MasterCenterX;
    OutputViewCenterY = MasterCenterY;
    OutputZoom = std::max(static_cast<double>(MasterWidth) / kOutputViewSize.width,
                          static_cast<double>(MasterHeight) / kOutputViewSize.height) *
                 1.1;
    if (HalfFOV > 0) {
        UpdateFocalLength();
        for (auto& each : Slots) SolveSlot(each, modelHalfFOV(), FocalLengthPx);
    }
}

void Workspace::copyMasterPoints(const TImageSlot& master) {
    MasterCP1X = master.CP1X;
    MasterCP1Y = master.CP1Y;
    MasterCP2X = master.CP2X;
    MasterCP2Y = master.CP2Y;
    MasterCP1Azimuth = static_cast<double>(master.CP1Azimuth);
    MasterCP1Meridian = static_cast<double>(master.CP1Meridian);
    MasterCP2Azimuth = static_cast<double>(master.CP2Azimuth);
    MasterCP2Meridian = static_cast<double>(master.CP2Meridian);
}

void Workspace::Recalculate(bool scaling) {
    if (MasterIndex == 0) return;
    const TImageSlot& master = slot(MasterIndex);
    for (int n = 1; n <= 3; ++n) {
        TImageSlot& s = slot(n);
        if (n == MasterIndex) {
            s.Rotation = 0;
            s.Scale = 1;
        } else {
            s.Rotation = s.CPAngle - master.CPAngle;
            s.Scale = s.CPLength / master.CPLength;
        }
    }
    copyMasterPoints(master);
    if (!scaling)
        for (auto& s : Slots) s.Scale = 1;
}

namespace {
// Control points moved past the int range stop at its edge.
int MovedBy(int coordinate, int delta) {
    return static_cast<int>(std::clamp<long long>(static_cast<long long>(coordinate) + delta, INT32_MIN, INT32_MAX));
}

// The chosen control points of `slot` become those of `from` moved by (dx, dy).
template <class Points>
void MovePoints(TImageSlot& slot, const Points& from, bool cp1, bool cp2, int dx, int dy) {
    if (cp1) {
        slot.CP1X = MovedBy(from.CP1X, dx);
        slot.CP1Y = MovedBy(from.CP1Y, dy);
    }
    if (cp2) {
        slot.CP2X = MovedBy(from.CP2X, dx);
        slot.CP2Y = MovedBy(from.CP2Y, dy);
    }
}
}  // namespace

bool Workspace::updateHover(int n, int x, int y) {
    const TImageSlot& s = slot(n);
    auto inZone = [&](int cpX, int cpY) {
        const MarkCentre m =
            ViewPosition(cpX, cpY, s.ViewCenterX, s.ViewCenterY, s.Zoom, s.ViewBitmap.width(), s.ViewBitmap.height());
        return m.x - 25 < x && x < m.x + 25 && m.y - 25 < y && y < m.y + 25;
    };
    HoverCP1 = inZone(s.CP1X, s.CP1Y);
    if (inZone(s.CP2X, s.CP2Y)) {
        HoverCP1 = false;
        HoverCP2 = true;
    } else {
        HoverCP2 = false;
    }
    return HoverCP1 || HoverCP2;
}

void Workspace::dragControlPoints(int n, int x, int y) {
    TImageSlot& s = slot(n);
    const TDragSnapshot& start = DragStart.at(static_cast<std::size_t>(n - 1));
    const int dx = RoundToInt((static_cast<double>(x) - MouseDownX) * s.Zoom);
    const int dy = RoundToInt((static_cast<double>(y) - MouseDownY) * s.Zoom);
    MovePoints(s, start, DraggingCP1, DraggingCP2, dx, dy);
    solveSlot(n);
}

void Workspace::nudgeControlPoints(int n, int dx, int dy) {
    if (n < 1 || n > 3) return;
    MovePoints(slot(n), slot(n), HoverCP1, HoverCP2, dx, dy);
    solveSlot(n);
}

void Workspace::solveSlot(int n) { SolveSlot(slot(n), modelHalfFOV(), FocalLengthPx); }

double Workspace::modelHalfFOV() const { return SphericalModelApplies(HalfFOV, FocalLengthPx) ? HalfFOV : 0; }

void Workspace::dragBrightness(int n, int x) {
    const TDragSnapshot& start = DragStart.at(static_cast<std::size_t>(n - 1));
    const long long b = start.Brightness + 3LL * (static_cast<long long>(x) - MouseDownX);
    slot(n).Brightness = static_cast<std::int32_t>(std::clamp<long long>(b, -255, 255));
}

double Workspace::fovDegrees() const { return HalfFOV * 360 / std::numbers::pi; }

void Workspace::setFOVDegrees(double degrees) {
    HalfFOV = std::clamp(degrees, 0.0, 179.0) * std::numbers::pi / 360;
    if (MasterIndex == 0) return;
    UpdateFocalLength();
    for (int n = 1; n <= 3; ++n) solveSlot(n);
}

std::string Workspace::fovReadout(bool noneBelowATenth) const {
    const double degrees = fovDegrees();
    if (noneBelowATenth ? degrees < 0.1 : degrees == 0) return "None";
    char text[64];
    const double mm = 36 / (2 * std::tan(HalfFOV));
    std::snprintf(text, sizeof text, "%.1f deg / %.1f mm", std::nearbyint(degrees * 10) / 10,
                  std::nearbyint(mm * 10) / 10);
    return text;
}

void Workspace::zoomOutputView(bool in) { OutputZoom = in ? OutputZoom / 1.1 : OutputZoom * 1.1; }

void Workspace::fitOutputView() {
    if (!OutputBitmap.empty()) {
        OutputViewCenterX = MasterWidth / 2;
        OutputViewCenterY = MasterHeight / 2;
        OutputZoom = std::max(static_cast<double>(MasterWidth) / OutputBitmap.width(),
                              static_cast<double>(MasterHeight) / OutputBitmap.height());
    }
    OutputZoom *= 1.1;
}

void Workspace::outputViewOneToOne() { OutputZoom = 1; }

void Workspace::centreOutputViewOnCP(int cp) {
    OutputViewCenterX = cp == 1 ? MasterCP1X : MasterCP2X;
    OutputViewCenterY = cp == 1 ? MasterCP1Y : MasterCP2Y;
}

void Workspace::panOutputView(int x, int y) {
    OutputViewCenterX = RoundToInt(OutputDragStartX - std::nearbyint((static_cast<double>(x) - MouseDownX) * OutputZoom));
    OutputViewCenterY = RoundToInt(OutputDragStartY - std::nearbyint((static_cast<double>(y) - MouseDownY) * OutputZoom));
}

MasterGeometry Workspace::masterGeometry() const {
    return {MasterIndex,       MasterWidth,       MasterHeight,      MasterCenterX, MasterCenterY,
            MasterCP1X,        MasterCP1Y,        MasterCP2X,        MasterCP2Y,    MasterCP1Azimuth,
            MasterCP1Meridian, modelHalfFOV(),    FocalLengthPx};
}

void Workspace::ResetOutputView() {
    OutputBitmap.resize(kOutputViewSize.width, kOutputViewSize.height);
    OutputViewCenterX = OutputBitmap.width() / 2;
    OutputViewCenterY = OutputBitmap.height() / 2;
    OutputZoom = 1;
}

void Workspace::UpdateFocalLength() { FocalLengthPx = FocalLengthFor(HalfFOV, MasterWidth, MasterHeight); }

}  // namespace vantrel
