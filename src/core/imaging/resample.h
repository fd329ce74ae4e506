#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel {

// Samples `count` pixels of one output row from `src` at the source positions
// (xs[i], ys[i]), where source pixel i spans i..i+1. Positions within
// [0.5, size - 0.5] are blended bilinearly from their four neighbours
// (ClampByte of BlendBilinear, nudged in by 0.00001 past 1 so the far
// neighbours stay inside); others become grey. Nothing outside the bitmap is
// read, also for 1-pixel-wide or -high sources.
// `nextRowStep` (+1 or -1) tells which way the caller's next output row
// moves through the source, so its rows can be fetched ahead of time.
void ResampleRow(const Bitmap& src, const double* xs, const double* ys, int count, std::uint8_t grey,
                 std::uint8_t* dst, int nextRowStep = 1);

// 255 for each position ResampleRow samples, 0 for each it fills grey.
void CoverageRow(const Bitmap& src, const double* xs, const double* ys, int count, std::uint8_t* coverage);

// Per row of a picture, the columns [first, last) that hold picture; the
// rest of the row is fill (a lens correction's empty corners). Empty: every
// pixel is picture.
using RowSpans = std::vector<std::pair<int, int>>;

// Clears the coverage of every position whose bilinear neighbours are not
// all picture by `spans` (of a `w` x `h` source).
void RestrictCoverageRow(const RowSpans& spans, int w, int h, const double* xs, const double* ys, int count,
                         std::uint8_t* coverage);

// A radial correction about the image centre (cx, cy): output pixel (x, y)
// has the offset (dx, dy) = ((x - cx + 0.5) scale, (y - cy + 0.5) scale) and
// samples the source at (dx f + cx, dy f + cy), where r = |(dx, dy)| / radius,
// f = (a r^4 + b r^3 + c r^2 + d r) / r, and f = 1 at r = 0.
struct RadialCorrection {
    double cx, cy, radius, scale, a, b, c, d;
};

// Output rows y and height - 1 - y of a radial correction of `src` into
// `out` (same size): mirrored offsets share their factors. `dxs` holds
// every column's dx; `scratch` has room for a row of doubles.
void ResampleRadialRowPair(const Bitmap& src, const RadialCorrection& lens, const double* dxs, double* scratch, int y,
                           std::uint8_t grey, Bitmap& out);

// The columns [first, last) of output row y of that correction that sample
// the source (ResampleRow's rule); the rest become grey. A row's sampled
// columns are one run wherever the distortion keeps radii in order.
std::pair<int, int> RadialInsideColumns(const RadialCorrection& lens, int w, int h, const double* dxs, double* scratch,
                                        int y);

// Both take the vector kernels of the active instruction set (util/cpu.h);
// every level gives the same bytes.

}  // namespace vantrel
