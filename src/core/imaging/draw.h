#pragma once

#include <cstdint>

#include "imaging/bitmap.h"

namespace vantrel {

struct Rgb {
    std::uint8_t red = 0, green = 0, blue = 0;
};

inline constexpr Rgb kBlack{0, 0, 0};
inline constexpr Rgb kWhite{255, 255, 255};
inline constexpr Rgb kGrey{128, 128, 128};

// Pixel drawing on a bitmap, clipped to it. Lines are one pixel wide and stop
// one pixel short of their end point, like the platform's LineTo.
void SetPixel(Bitmap& bitmap, int x, int y, Rgb colour);
void DrawLine(Bitmap& bitmap, int x0, int y0, int x1, int y1, Rgb colour);
void FillRect(Bitmap& bitmap, int left, int top, int right, int bottom, Rgb colour);  // right, bottom exclusive
// A filled rectangle over the whole bitmap with a one-pixel outline.
void FillFramed(Bitmap& bitmap, Rgb fill, Rgb outline);
// The four sides of a rectangle, drawn anticlockwise from the top left with
// DrawLine (so the top-left corner pixel stays undrawn).
void DrawOutline(Bitmap& bitmap, int left, int top, int right, int bottom, Rgb colour);
// `shifted` becomes `source` moved by (dx, dy) over black, at the source's
// size: a dragged view before its true render.
void ShiftOntoBlack(int dx, int dy, const Bitmap& source, Bitmap& shifted);
// The one-pixel frame around the bitmap's edge.
void DrawFrame(Bitmap& bitmap, Rgb colour);

}  // namespace vantrel
