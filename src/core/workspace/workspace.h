#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "align/mapping.h"
#include "imaging/image_file.h"
#include "lens/distortion.h"
#include "workspace/image_slot.h"

namespace vantrel {

// The working state of one run: what the main window owns besides its
// controls, and the operations on it. Slots are numbered 1 to 3.
class Workspace {
public:
    // The state of a freshly opened main window; `currentDir` is where the
    // open and save dialogs start.
    explicit Workspace(const std::string& currentDir = {});

    TImageSlot& slot(int n) { return Slots.at(static_cast<std::size_t>(n - 1)); }
    const TImageSlot& slot(int n) const { return Slots.at(static_cast<std::size_t>(n - 1)); }

    // Empties slot n with the standard box sizes.
    void clearSlot(int n);

    // Reads `path` into slot n: decode, starting view and control points,
    // luminance and histogram, then the current lens correction. A file that
    // is not read (unknown extension, rejected content) changes nothing in the
    // slot. A file that cannot be opened throws Error.
    LoadOutcome loadSlot(int n, const std::string& path, const std::function<void(int percent)>& progress = {});

    // The lens correction that loads from now on apply.
    void setLens(const LensModel& model);

    // Gives a freshly read Bitmap its starting state (not loaded if it is empty).
    void FinishSlotLoad(TImageSlot& slot);

    // Input view navigation, applied to all three slots.
    void zoomInputViews(bool in);  // by a factor of 1.1
    void fitInputViews();
    void inputViewsOneToOne();
    void centreInputViewsOnCP(int cp);

    // Panning: the press records the drag start; moves shift one view.
    void CaptureDragStart();
    void panInputView(int n, int x, int y);

    // Control points under the pointer of input view n at view pixel (x, y):
    // sets HoverCP1 / HoverCP2 from the 49 x 49 zones around the marks (CP2
    // wins where they overlap). True when the pointer is on a mark.
    bool updateHover(int n, int x, int y);
    // Drags the control point(s) chosen at the press by the pointer travel
    // since then, in source pixels of slot n, and re-solves the slot.
    void dragControlPoints(int n, int x, int y);
    // Moves the hovered control point(s) of slot n by whole source pixels.
    void nudgeControlPoints(int n, int dx, int dy);
    void solveSlot(int n);
    // Brightness of slot n from the pointer travel since the press (x3, clamped).
    void dragBrightness(int n, int x);

    // Field of view in degrees (full angle); setting clamps to 0..179 and,
    // with a master, updates the focal length and re-solves every slot.
    double fovDegrees() const;
    // The angle the alignment works with: HalfFOV, or 0 where the flat model
    // must stand in (see SphericalModelApplies).
    double modelHalfFOV() const;
    void setFOVDegrees(double degrees);
    // The read-out "60.0 deg / 31.2 mm" ("None" without an angle).
    std::string fovReadout(bool noneBelowATenth) const;

    // Output view navigation.
    void zoomOutputView(bool in);
    void fitOutputView();
    void outputViewOneToOne();
    void centreOutputViewOnCP(int cp);
    void panOutputView(int x, int y);

    MasterGeometry masterGeometry() const;
    OutputViewState outputView() const { return {OutputViewCenterX, OutputViewCenterY, OutputZoom}; }

    // Master choice by luminance: 0 when nothing is loaded.
    int masterByLuminance() const;
    void SelectMaster(int n);
    void Recalculate(bool scaling);
    void ResetOutputView();
    void UpdateFocalLength();

    // The master's control points, in pixels and on the sphere.
    void copyMasterPoints(const TImageSlot& master);

    std::vector<std::string> FileList;
    std::array<TImageSlot, 3> Slots;
    std::int32_t MouseDownX = 0, MouseDownY = 0;
    bool Panning = false, SliderDragging = false, DraggingCP1 = false, DraggingCP2 = false;
    bool HoverCP1 = false, HoverCP2 = false;
    std::array<TDragSnapshot, 3> DragStart{};
    std::int32_t OutputDragStartX = 0, OutputDragStartY = 0;
    std::int32_t MasterIndex = 0;
    std::int32_t MasterWidth = 0, MasterHeight = 0;
    std::int32_t MasterCenterX = 0, MasterCenterY = 0;
    std::int32_t MasterCP1X = 0, MasterCP1Y = 0, MasterCP2X = 0, MasterCP2Y = 0;
    double MasterCP1Azimuth = 0, MasterCP1Meridian = 0, MasterCP2Azimuth = 0, MasterCP2Meridian = 0;
    double FocalLengthPx = 0;
    vantrel::Bitmap OutputBitmap;
    std::int32_t OutputViewCenterX = 0, OutputViewCenterY = 0;
    double OutputZoom = 1;
    bool LivePreview = false;
    bool SliderHot = false;
    double HalfFOV = 0;
    double HalfFOVAtPress = 0;
    Extended LensA = 0, LensB = 0, LensC = 0, LensD = 1, LensScale = 1;
    std::int32_t ActiveControl = 0;
    std::string OpenDir;
    std::string LastOutputDir;
};

}  // namespace vantrel
