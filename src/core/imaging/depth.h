#pragma once

#include "imaging/bitmap.h"

namespace vantrel {

// The picture as the screen shows it, 8 bits a sample: 16-bit samples
// rounded to the nearest 8-bit level; linear samples (raw developed linear,
// float) clipped to 0..1 and given the sRGB curve, a plain exposure mapping.
// An 8-bit picture is copied as it is.
Bitmap ToScreen(const Bitmap& image);

// One row as ToScreen maps it, before rounding: 3 x width values 0..255 in
// blue, green, red order, for measurements that want the deep precision.
void ScreenRow(const Bitmap& image, int y, float* bgr);

// The same picture at another depth: 8 <-> 16 bits by 257, 16 -> 8
// rounded; float 0..1 to whole numbers clipped and rounded. Whether the
// samples are linear is kept.
Bitmap ConvertDepth(const Bitmap& image, SampleDepth depth);

// The sRGB curve (IEC 61966-2-1) of a linear value 0..1.
double SrgbEncode(double linear);

}  // namespace vantrel
