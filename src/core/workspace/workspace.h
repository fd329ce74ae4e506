#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "align/mapping.h"
#include "formats/image_file.h"
#include "lens/load_correction.h"
#include "workspace/image_slot.h"

namespace vantrel {

// The master's copied geometry, as the renderers read it after SelectMaster
// and Recalculate.
struct TMasterCopy {
    std::int32_t MasterIndex = 0;  // 0 = none, else a slot number
    std::int32_t MasterWidth = 0, MasterHeight = 0;
    std::int32_t MasterCenterX = 0, MasterCenterY = 0;
    double MasterCP1X = 0, MasterCP1Y = 0, MasterCP2X = 0, MasterCP2Y = 0;
    double MasterCP1Azimuth = 0, MasterCP1Meridian = 0, MasterCP2Azimuth = 0, MasterCP2Meridian = 0;
};

// The document of one run: the image slots with their pictures, control
// points, lens values and alignment; the master; the field of view; the lens
// correction that loads apply; the output view. Everything that changes it
// is an operation here; the pointer's state lives with the window
// (TPointerState).
class Workspace {
public:
    Workspace();

    // ---- reading ----
    const TImageSlot& slot(int n) const { return slots_.at(static_cast<std::size_t>(n - 1)); }
    const std::vector<TImageSlot>& slotRecords() const { return slots_; }
    // How many images the document holds room for: kSlotCount (the window's
    // slots) or more, up to kMaxImages.
    int slotCount() const { return static_cast<int>(slots_.size()); }
    // Makes room for `count` images (at least kSlotCount); slots beyond it are emptied.
    void setSlotCount(int count);
    // Slot n as the renderers read it.
    AlignedSource source(int n) const;
    AlignedSources sources() const;
    const TMasterCopy& master() const { return master_; }
    std::int32_t MasterIndex() const { return master_.MasterIndex; }
    MasterGeometry masterGeometry() const;
    // Half the field of view across the master's longer side, radians (0: none).
    double HalfFOV() const { return halfFOV_; }
    double FocalLengthPx() const { return focalLengthPx_; }
    // The angle the alignment works with: HalfFOV, or 0 where the flat model
    // must stand in (see SphericalModelApplies).
    double modelHalfFOV() const;
    // The lens correction that loads from now on apply.
    const TLensCorrection& lens() const { return lens_; }
    OutputViewState outputView() const { return {OutputViewCenterX_, OutputViewCenterY_, OutputZoom_}; }
    // Master choice by luminance: 0 when nothing is loaded.
    int masterByLuminance() const;

    // ---- loading ----
    // Empties slot n.
    void clearSlot(int n);
    // Empties slot n, handing over its pixels, for a run with no more use
    // for them.
    Bitmap releaseImage(int n);
    // Reads `path` into slot n: decode, starting view and control points,
    // luminance and histogram, then the current lens correction. A file that
    // is not read (unknown extension, rejected content) changes nothing in the
    // slot. A file that cannot be opened throws Error.
    LoadOutcome loadSlot(int n, const std::string& path, const std::function<void(int percent)>& progress = {},
                         std::string* notice = nullptr);
    // The same with the file already read (ImagePrefetch).
    LoadOutcome loadSlot(int n, const std::string& path, DecodedImage decoded,
                         const std::function<void(int percent)>& progress = {});
    // The same for a picture already decoded (and measured, when `known`).
    void placeImage(int n, Bitmap image, const std::string& path,
                    const std::function<void(int percent)>& progress = {},
                    const std::optional<Lightness>& known = std::nullopt);
    void setLens(const TLensCorrection& lens);
    // Work on each picture as it is placed, before the lens correction (a
    // vignetting correction, which belongs to the picture as taken); empty:
    // none. Gets the picture and its file's path.
    using LoadFilter = std::function<void(Bitmap& picture, const std::string& path)>;
    void setLoadFilter(LoadFilter filter) { loadFilter_ = std::move(filter); }

    // While a scope holds this, consecutive loads lend each other their
    // pixel memory; it is given back when the scope ends.
    class LoadBatch {
    public:
        explicit LoadBatch(Workspace& ws) : ws_(ws) { ++ws_.batches_; }
        ~LoadBatch() {
            if (--ws_.batches_ == 0) ws_.spare_ = Bitmap();
        }
        LoadBatch(const LoadBatch&) = delete;
        LoadBatch& operator=(const LoadBatch&) = delete;

    private:
        Workspace& ws_;
    };

    // ---- input views, all slots at once ----
    void zoomInputViews(bool in);  // by a factor of 1.1
    void fitInputViews();
    void inputViewsOneToOne();
    void centreInputViewsOnCP(int cp);
    void setViewCentre(int n, int x, int y);
    void setZoom(int n, double zoom);

    // ---- control points, brightness ----
    // Moves slot n's points and re-solves it.
    void setControlPoints(int n, double cp1X, double cp1Y, double cp2X, double cp2Y);
    void setBrightness(int n, int brightness);
    void solveSlot(int n);

    // ---- field of view ----
    // Degrees, the full angle; setting clamps to 0..179 and, with a master,
    // updates the focal length and re-solves every slot.
    double fovDegrees() const;
    // `byHand`: the user chose it (slider, keys, --fov), so Auto Align keeps
    // it; otherwise it was decided for the images loaded then, and the next
    // Auto Align decides afresh.
    void setFOVDegrees(double degrees, bool byHand = true);
    bool fovSetByHand() const { return fovByHand_; }
    // The read-out "60.0 deg / 31.2 mm" ("None" without an angle).
    std::string fovReadout(bool noneBelowATenth) const;

    // ---- master and alignment ----
    void SelectMaster(int n);
    // Forgets the master (nothing loaded any more).
    void clearMaster();
    void Recalculate(bool scaling);
    void UpdateFocalLength();

    // ---- output view ----
    void ResetOutputView();
    void zoomOutputView(bool in);
    void fitOutputView();
    void outputViewOneToOne();
    void centreOutputViewOnCP(int cp);
    void setOutputViewCentre(int x, int y);

private:
    TImageSlot& mutableSlot(int n) { return slots_.at(static_cast<std::size_t>(n - 1)); }
    // Gives a freshly read Bitmap its starting state (not loaded if it is empty).
    void FinishSlotLoad(TImageSlot& slot);
    void copyMasterPoints(const TImageSlot& master);

    std::vector<TImageSlot> slots_ = std::vector<TImageSlot>(kSlotCount);
    TMasterCopy master_;
    double halfFOV_ = 0;
    bool fovByHand_ = false;
    double focalLengthPx_ = kFlatFocalLength;
    TLensCorrection lens_;
    LoadFilter loadFilter_;
    std::int32_t OutputViewCenterX_ = 0, OutputViewCenterY_ = 0;
    double OutputZoom_ = 1;
    int batches_ = 0;
    Bitmap spare_;
};

}  // namespace vantrel
