#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "align/slot_alignment.h"
#include "imaging/bitmap.h"
#include "imaging/luminance.h"
#include "lens/load_correction.h"

namespace vantrel {

// One of the image slots: the picture, its measurements, how it is viewed,
// its control points and alignment (TSlotAlignment), and the lens
// correction in force when it was loaded (TLensCorrection).
struct TImageSlot : TSlotAlignment, TLensCorrection {
    vantrel::Bitmap Bitmap;
    bool Loaded = false;
    std::string FilePath;
    std::string FileName;
    Histogram256 Histogram{};
    std::int32_t Luminance = 0;
    std::int32_t Brightness = 0;  // display only, -255..255
    std::int32_t ViewCenterX = 0, ViewCenterY = 0;
    double Zoom = 1;  // source pixels per view pixel
    RowSpans LensCovered;  // where the load's lens correction left picture (empty: everywhere)
    // The picture at its own depth when it is deeper than 8 bits; `Bitmap`
    // is then its screen copy, which views, histograms and marks use.
    vantrel::Bitmap Deep;

    // The picture's own samples: what is warped and saved.
    const vantrel::Bitmap& pixels() const { return Deep.empty() ? Bitmap : Deep; }
};

// Values of one slot at the last press, for drags.
struct TDragSnapshot {
    double CP1X = 0, CP1Y = 0, CP2X = 0, CP2Y = 0;
    std::int32_t ViewCenterX = 0, ViewCenterY = 0;
    std::int32_t Brightness = 0;
};

// Empties a slot: no image, identity lens, the starting alignment.
void ClearSlot(TImageSlot& slot);

}  // namespace vantrel
