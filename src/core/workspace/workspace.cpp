#include "workspace/workspace.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "align/alignment.h"
#include "align/camera_model.h"
#include "imaging/depth.h"
#include "imaging/luminance.h"
#include "imaging/view_render.h"
#include "util/error.h"
#include "workspace/slot_view.h"

namespace vantrel {

Workspace::Workspace() {
    UpdateFocalLength();
    ResetOutputView();
}

AlignedSource Workspace::source(int n) const {
    const TImageSlot& s = slot(n);
    return {s.Loaded ? &s.Bitmap : nullptr, &s, s.Luminance, s.Brightness, &s.LensCovered, s.Loaded ? &s.Deep : nullptr};
}

AlignedSources Workspace::sources() const {
    AlignedSources all;
    for (int n = 1; n <= slotCount(); ++n) all.push_back(source(n));
    return all;
}

void Workspace::setSlotCount(int count) {
    count = std::clamp(count, kSlotCount, kMaxImages);
    if (master_.MasterIndex > count) clearMaster();
    slots_.resize(static_cast<std::size_t>(count));
}

// ---- loading ----

void Workspace::clearSlot(int n) { ClearSlot(mutableSlot(n)); }

Bitmap Workspace::releaseImage(int n) {
    TImageSlot& s = mutableSlot(n);
    // The larger buffer is the one worth lending.
    Bitmap pixels = std::move(s.Deep.empty() ? s.Bitmap : s.Deep);
    clearSlot(n);
    return pixels;
}

LoadOutcome Workspace::loadSlot(int n, const std::string& path, const std::function<void(int)>& progress,
                                std::string* notice) {
    Bitmap fresh;
    const LoadOutcome outcome = LoadImageFile(path, fresh, notice);
    if (outcome != LoadOutcome::Loaded) return outcome;
    placeImage(n, std::move(fresh), path, progress);
    return outcome;
}

LoadOutcome Workspace::loadSlot(int n, const std::string& path, DecodedImage decoded,
                                const std::function<void(int)>& progress) {
    if (decoded.outcome == LoadOutcome::Loaded)
        placeImage(n, std::move(decoded.bitmap), path, progress, decoded.lightness);
    return decoded.outcome;
}

void Workspace::placeImage(int n, Bitmap image, const std::string& path, const std::function<void(int)>& progress,
                           const std::optional<Lightness>& known) {
    TImageSlot& s = mutableSlot(n);
    s.FilePath = path;
    s.Deep = Bitmap();
    if (image.deep()) {
        s.Deep = std::move(image);
        s.Bitmap = ToScreen(s.Deep);
    } else {
        s.Bitmap = std::move(image);
    }
    FinishSlotLoad(s);
    if (known) {
        s.Luminance = known->mean;
        s.Histogram = known->histogram;
    } else {
        ComputeLuminance(s.Bitmap, s.Luminance, s.Histogram);
    }
    // The luminance and histogram stay those of the uncorrected picture.
    const std::uint8_t grey = static_cast<std::uint8_t>(std::clamp(s.Luminance, 0, 255));
    if (s.Deep.empty()) {
        if (loadFilter_) loadFilter_(s.Bitmap, path);
        ApplyLensCorrection(s.Bitmap, s, grey, progress, batches_ > 0 ? &spare_ : nullptr, &s.LensCovered);
        return;
    }
    // Corrected once, at depth; the screen copy follows.
    if (loadFilter_) loadFilter_(s.Deep, path);
    if (loadFilter_ || !s.identity()) {
        ApplyLensCorrection(s.Deep, s, grey, progress, nullptr, &s.LensCovered);
        s.Bitmap = ToScreen(s.Deep);
    }
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
    s.Zoom = 1.1 * std::max(static_cast<double>(w) / kInputViewSize.width, static_cast<double>(h) / kInputViewSize.height);
    s.CP1X = w / 10;
    s.CP1Y = h / 2;
    s.CP2X = w - w / 10;
    s.CP2Y = h / 2;
    s.Brightness = 0;
    SolveSlot(s, modelHalfFOV(), focalLengthPx_);
    static_cast<TLensCorrection&>(s) = lens_;
}

void Workspace::setLens(const TLensCorrection& lens) { lens_ = lens; }

// ---- input views ----

void Workspace::zoomInputViews(bool in) {
    for (auto& s : slots_) s.Zoom = in ? s.Zoom / 1.1 : s.Zoom * 1.1;
}

void Workspace::fitInputViews() {
    for (auto& s : slots_) {
        const int w = s.Bitmap.width(), h = s.Bitmap.height();
        if (w <= 0 || h <= 0) continue;
        s.ViewCenterX = w / 2;
        s.ViewCenterY = h / 2;
        s.Zoom = 1.1 * std::max(static_cast<double>(w) / kInputViewSize.width,
                                static_cast<double>(h) / kInputViewSize.height);
    }
}

void Workspace::inputViewsOneToOne() {
    for (auto& s : slots_) s.Zoom = 1;
}

void Workspace::centreInputViewsOnCP(int cp) {
    for (auto& s : slots_) {
        s.ViewCenterX = RoundToInt(cp == 1 ? s.CP1X : s.CP2X);
        s.ViewCenterY = RoundToInt(cp == 1 ? s.CP1Y : s.CP2Y);
    }
}

void Workspace::setViewCentre(int n, int x, int y) {
    mutableSlot(n).ViewCenterX = x;
    mutableSlot(n).ViewCenterY = y;
}

void Workspace::setZoom(int n, double zoom) { mutableSlot(n).Zoom = zoom; }

// ---- control points ----

void Workspace::setControlPoints(int n, double cp1X, double cp1Y, double cp2X, double cp2Y) {
    TImageSlot& s = mutableSlot(n);
    s.CP1X = cp1X;
    s.CP1Y = cp1Y;
    s.CP2X = cp2X;
    s.CP2Y = cp2Y;
    solveSlot(n);
}

void Workspace::setBrightness(int n, int brightness) { mutableSlot(n).Brightness = std::clamp(brightness, -255, 255); }

void Workspace::solveSlot(int n) { SolveSlot(mutableSlot(n), modelHalfFOV(), focalLengthPx_); }

// ---- field of view ----

double Workspace::modelHalfFOV() const { return SphericalModelApplies(halfFOV_, focalLengthPx_) ? halfFOV_ : 0; }

double Workspace::fovDegrees() const { return halfFOV_ * 360 / std::numbers::pi; }

void Workspace::setFOVDegrees(double degrees, bool byHand) {
    halfFOV_ = std::clamp(degrees, 0.0, 179.0) * std::numbers::pi / 360;
    fovByHand_ = byHand;
    if (master_.MasterIndex == 0) return;
    UpdateFocalLength();
    for (int n = 1; n <= slotCount(); ++n) solveSlot(n);
}

std::string Workspace::fovReadout(bool noneBelowATenth) const {
    const double degrees = fovDegrees();
    if (noneBelowATenth ? degrees < 0.1 : degrees == 0) return "None";
    char text[64];
    const double mm = 36 / (2 * std::tan(halfFOV_));
    std::snprintf(text, sizeof text, "%.1f deg / %.1f mm", std::nearbyint(degrees * 10) / 10,
                  std::nearbyint(mm * 10) / 10);
    return text;
}

void Workspace::UpdateFocalLength() {
    focalLengthPx_ = FocalLengthFor(halfFOV_, master_.MasterWidth, master_.MasterHeight);
}

// ---- master and alignment ----

int Workspace::masterByLuminance() const {
    std::vector<int> loaded;
    for (int n = 1; n <= slotCount(); ++n)
        if (slot(n).Loaded) loaded.push_back(n);
    auto lum = [&](int n) { return slot(n).Luminance; };
    if (loaded.size() > kSlotCount || (loaded.size() == kSlotCount && loaded.back() > kSlotCount)) {
        // A longer bracket: its middle exposure, from which the far ends
        // are fewest steps away; earlier images win ties.
        std::vector<int> order = loaded;
        std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return lum(a) < lum(b); });
        return order[(order.size() - 1) / 2];
    }
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
            // Nearest to the mean; earlier slots win ties.
            const int avg = (lum(1) + lum(2) + lum(3)) / 3;
            int chosen = std::abs(avg - lum(1)) < std::abs(avg - lum(2)) ? 1 : 2;
            if (std::abs(avg - lum(3)) < std::abs(avg - lum(chosen))) chosen = 3;
            return chosen;
        }
    }
}

void Workspace::SelectMaster(int n) {
    const TImageSlot& s = slot(n);
    master_.MasterIndex = n;
    master_.MasterWidth = s.Bitmap.width();
    master_.MasterHeight = s.Bitmap.height();
    master_.MasterCenterX = s.ImageCenterX;
    master_.MasterCenterY = s.ImageCenterY;
    copyMasterPoints(s);
    OutputViewCenterX_ = master_.MasterCenterX;
    OutputViewCenterY_ = master_.MasterCenterY;
    OutputZoom_ = std::max(static_cast<double>(master_.MasterWidth) / kOutputViewSize.width,
                           static_cast<double>(master_.MasterHeight) / kOutputViewSize.height) *
                  1.1;
    if (halfFOV_ > 0) {
        UpdateFocalLength();
        for (int each = 1; each <= slotCount(); ++each) solveSlot(each);
    }
}

void Workspace::clearMaster() {
    master_.MasterIndex = 0;
    ResetOutputView();
}

void Workspace::copyMasterPoints(const TImageSlot& master) {
    master_.MasterCP1X = master.CP1X;
    master_.MasterCP1Y = master.CP1Y;
    master_.MasterCP2X = master.CP2X;
    master_.MasterCP2Y = master.CP2Y;
    master_.MasterCP1Azimuth = static_cast<double>(master.CP1Azimuth);
    master_.MasterCP1Meridian = static_cast<double>(master.CP1Meridian);
    master_.MasterCP2Azimuth = static_cast<double>(master.CP2Azimuth);
    master_.MasterCP2Meridian = static_cast<double>(master.CP2Meridian);
}

void Workspace::Recalculate(bool scaling) {
    if (master_.MasterIndex == 0) return;
    const TImageSlot& master = slot(master_.MasterIndex);
    for (int n = 1; n <= slotCount(); ++n) {
        TImageSlot& s = mutableSlot(n);
        if (n == master_.MasterIndex) {
            s.Rotation = 0;
            s.Scale = 1;
        } else {
            RelateToMaster(s, master);
        }
    }
    copyMasterPoints(master);
    if (!scaling)
        for (auto& s : slots_) s.Scale = 1;
}

MasterGeometry Workspace::masterGeometry() const {
    const TMasterCopy& m = master_;
    return {m.MasterIndex,      m.MasterWidth,       m.MasterHeight,   m.MasterCenterX, m.MasterCenterY,
            m.MasterCP1X,       m.MasterCP1Y,        m.MasterCP2X,     m.MasterCP2Y,    m.MasterCP1Azimuth,
            m.MasterCP1Meridian, modelHalfFOV(),     focalLengthPx_};
}

// ---- output view ----

void Workspace::ResetOutputView() {
    OutputViewCenterX_ = kOutputViewSize.width / 2;
    OutputViewCenterY_ = kOutputViewSize.height / 2;
    OutputZoom_ = 1;
}

void Workspace::zoomOutputView(bool in) { OutputZoom_ = in ? OutputZoom_ / 1.1 : OutputZoom_ * 1.1; }

void Workspace::fitOutputView() {
    OutputViewCenterX_ = master_.MasterWidth / 2;
    OutputViewCenterY_ = master_.MasterHeight / 2;
    OutputZoom_ = std::max(static_cast<double>(master_.MasterWidth) / kOutputViewSize.width,
                           static_cast<double>(master_.MasterHeight) / kOutputViewSize.height) *
                  1.1;
}

void Workspace::outputViewOneToOne() { OutputZoom_ = 1; }

void Workspace::centreOutputViewOnCP(int cp) {
    OutputViewCenterX_ = RoundToInt(cp == 1 ? master_.MasterCP1X : master_.MasterCP2X);
    OutputViewCenterY_ = RoundToInt(cp == 1 ? master_.MasterCP1Y : master_.MasterCP2Y);
}

void Workspace::setOutputViewCentre(int x, int y) {
    OutputViewCenterX_ = x;
    OutputViewCenterY_ = y;
}

}  // namespace vantrel
