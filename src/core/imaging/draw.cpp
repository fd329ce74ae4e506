#include "imaging/draw.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

namespace vantrel {

void SetPixel(Bitmap& bitmap, int x, int y, Rgb colour) {
    if (x < 0 || y < 0 || x >= bitmap.width() || y >= bitmap.height()) return;
    std::uint8_t* p = bitmap.row(y) + static_cast<std::size_t>(x) * 3;
    p[0] = colour.blue;
    p[1] = colour.green;
    p[2] = colour.red;
}

void DrawLine(Bitmap& bitmap, int x0, int y0, int x1, int y1, Rgb colour) {
    // Level and upright lines (frames) are clipped outright: their ends may lie
    // far outside at extreme zooms.
    if (y0 == y1 || x0 == x1) {
        const bool level = y0 == y1;
        const long long from = level ? x0 : y0, to = level ? x1 : y1;
        const int fixed = level ? y0 : x0;
        const int extent = level ? bitmap.width() : bitmap.height();
        const long long step = to > from ? 1 : -1;
        const long long first = std::clamp<long long>(from, -1, extent);
        for (long long i = first; (step > 0 ? i < to : i > to) && i >= -1 && i <= extent; i += step) {
            if (level)
                SetPixel(bitmap, static_cast<int>(i), fixed, colour);
            else
                SetPixel(bitmap, fixed, static_cast<int>(i), colour);
        }
        return;
    }
    // Bresenham in 64 bits, so far-away end points cannot overflow.
    long long x = x0, y = y0;
    const long long dx = std::llabs(static_cast<long long>(x1) - x0);
    const long long dy = -std::llabs(static_cast<long long>(y1) - y0);
    const int sx = x0 < x1 ? 1 : -1;
    const int sy = y0 < y1 ? 1 : -1;
    long long err = dx + dy;
    const long long limit = std::max<long long>(bitmap.width(), bitmap.height()) + 1;
    while (x != x1 || y != y1) {
        // Past the bitmap and moving away from it: nothing more to draw.
        if ((x < -limit && sx < 0) || (x > limit && sx > 0) || (y < -limit && sy < 0) || (y > limit && sy > 0))
            return;
        SetPixel(bitmap, static_cast<int>(x), static_cast<int>(y), colour);
        const long long e2 = 2 * err;
        if (e2 >= dy) {
            err += dy;
            x += sx;
        }
        if (e2 <= dx) {
            err += dx;
            y += sy;
        }
    }
}

void FillRect(Bitmap& bitmap, int left, int top, int right, int bottom, Rgb colour) {
    left = std::max(left, 0);
    top = std::max(top, 0);
    right = std::min(right, bitmap.width());
    bottom = std::min(bottom, bitmap.height());
    for (int y = top; y < bottom; ++y) {
        std::uint8_t* p = bitmap.row(y) + static_cast<std::size_t>(left) * 3;
        for (int x = left; x < right; ++x, p += 3) {
            p[0] = colour.blue;
            p[1] = colour.green;
            p[2] = colour.red;
        }
    }
}

void FillFramed(Bitmap& bitmap, Rgb fill, Rgb outline) {
    FillRect(bitmap, 0, 0, bitmap.width(), bitmap.height(), fill);
    DrawFrame(bitmap, outline);
}

void DrawOutline(Bitmap& bitmap, int left, int top, int right, int bottom, Rgb colour) {
    DrawLine(bitmap, left, top, left, bottom, colour);
    DrawLine(bitmap, left, bottom, right, bottom, colour);
    DrawLine(bitmap, right, bottom, right, top, colour);
    DrawLine(bitmap, right, top, left, top, colour);
}

void ShiftOntoBlack(int dx, int dy, const Bitmap& source, Bitmap& shifted) {
    shifted.resize(source.width(), source.height());
    const long long from = std::max(0LL, -static_cast<long long>(dx));
    const long long to = std::min<long long>(source.width(), static_cast<long long>(source.width()) - dx);
    if (to <= from) return;
    for (int y = 0; y < source.height(); ++y) {
        const long long ty = static_cast<long long>(y) + dy;
        if (ty < 0 || ty >= shifted.height()) continue;
        std::memcpy(shifted.row(static_cast<int>(ty)) + static_cast<std::size_t>(from + dx) * 3,
                    source.row(y) + static_cast<std::size_t>(from) * 3, static_cast<std::size_t>(to - from) * 3);
    }
}

void DrawFrame(Bitmap& bitmap, Rgb colour) {
    const int r = bitmap.width() - 1, b = bitmap.height() - 1;
    if (r < 0 || b < 0) return;
    DrawOutline(bitmap, 0, 0, r, b, colour);
    SetPixel(bitmap, 0, 0, colour);  // a 1-pixel bitmap has no segment to draw
}

}  // namespace vantrel
