#pragma once

#include "imaging/bitmap.h"
#include "imaging/draw.h"

namespace vantrel {

// The home-made sliders: a scale line with ticks and a triangular knob,
// green while the pointer is over it.
int BrightnessKnobX(int width, int brightness);
int FOVKnobX(int width, double halfFOV);
void DrawBrightnessSlider(Bitmap& bitmap, int brightness, bool hot, Rgb face);
void DrawFOVSlider(Bitmap& bitmap, double halfFOV, bool hot, Rgb face);

// The lens window's sliders: value between low and high, a smaller knob.
void DrawValueSlider(Bitmap& bitmap, double value, double low, double high, bool hot, Rgb face);

// Fills the 4-connected area around (x, y) up to pixels of the border colour.
void FloodFill(Bitmap& bitmap, int x, int y, Rgb fill, Rgb border);

}  // namespace vantrel
