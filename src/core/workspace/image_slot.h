#pragma once

#include <array>
#include <cstdint>
#include <string>

#include "imaging/bitmap.h"
#include "imaging/pixel.h"

namespace vantrel {

struct BoxSize {
    int width = 0;
    int height = 0;
};

// Sizes of the main window's per-slot boxes and of the output view.
inline constexpr BoxSize kInputViewSize{281, 281};
inline constexpr BoxSize kHistoBoxSize{97, 41};
inline constexpr BoxSize kSliderBoxSize{97, 25};
inline constexpr BoxSize kOutputViewSize{444, 301};

// One of the three image slots.
struct TImageSlot {
    vantrel::Bitmap Bitmap;
    bool Loaded = false;
    std::string FilePath;
    std::string FileName;
    vantrel::Bitmap HistoBitmap;
    std::array<std::int32_t, 256> Histogram{};
    vantrel::Bitmap SliderBitmap;
    std::int32_t Luminance = 0;
    std::int32_t Brightness = 0;
    vantrel::Bitmap ViewBitmap;
    std::int32_t ViewCenterX = 0, ViewCenterY = 0;
    std::int32_t ImageCenterX = 0, ImageCenterY = 0;
    double Zoom = 1;
    std::int32_t CP1X = 0, CP1Y = 0;
    Extended CP1Azimuth = 0, CP1Meridian = 0;
    std::int32_t CP2X = 0, CP2Y = 0;
    Extended CP2Azimuth = 0, CP2Meridian = 0;
    double CPAngle = 0;
    double CPLength = 1;
    double Rotation = 0;
    double Scale = 1;
    // The lens correction in force when the slot was loaded.
    Extended LensScale = 1, LensA = 0, LensB = 0, LensC = 0, LensD = 1;
};

// Values of one slot at the last press, for drags.
struct TDragSnapshot {
    std::int32_t CP1X = 0, CP1Y = 0, CP2X = 0, CP2Y = 0;
    std::int32_t ViewCenterX = 0, ViewCenterY = 0;
    std::int32_t Brightness = 0;
};

// Empties a slot: no image, identity lens, black view, grey histogram and
// slider backgrounds sized to their boxes.
void ClearSlot(TImageSlot& slot, BoxSize view, BoxSize histo, BoxSize slider);

}  // namespace vantrel
