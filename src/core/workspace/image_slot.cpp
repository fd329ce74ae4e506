#include "workspace/image_slot.h"

#include "imaging/draw.h"

namespace vantrel {

void ClearSlot(TImageSlot& slot, BoxSize view, BoxSize histo, BoxSize slider) {
    slot.FilePath.clear();
    slot.FileName.clear();
    slot.Loaded = false;
    slot.Luminance = 0;
    slot.Brightness = 0;
    slot.Rotation = 0;
    slot.Scale = 1;
    slot.Zoom = 1;
    slot.CPLength = 1;
    slot.CPAngle = 0;
    slot.CP1X = slot.CP1Y = slot.CP2X = slot.CP2Y = 0;
    slot.CP1Azimuth = slot.CP1Meridian = slot.CP2Azimuth = slot.CP2Meridian = 0;
    slot.Bitmap.resize(0, 0);
    slot.ImageCenterX = slot.ImageCenterY = slot.ViewCenterX = slot.ViewCenterY = 0;
    slot.ViewBitmap.resize(view.width, view.height);
    slot.HistoBitmap.resize(histo.width, histo.height);
    FillFramed(slot.HistoBitmap, kGrey, kBlack);
    slot.SliderBitmap.resize(slider.width, slider.height);
    FillFramed(slot.SliderBitmap, kGrey, kBlack);
    slot.Histogram.fill(0);
    slot.LensScale = 1;
    slot.LensA = slot.LensB = slot.LensC = 0;
    slot.LensD = 1;
}

}  // namespace vantrel
