#pragma once

#include <cstdint>

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

// The same for one row of a radial correction, whose pixel i samples
// (dxs[i] f[i] + cx, dy f[i] + cy); the positions are made as they are used.
void ResampleRadialRow(const Bitmap& src, const double* dxs, const double* f, double dy, double cx, double cy,
                       int count, std::uint8_t grey, std::uint8_t* dst, int nextRowStep);

// Tests compare the vector samplers with the plain one they must match by
// capping the widest one used (the processor may offer less).
enum class ResampleKernel { Plain, Avx2, Widest };
void SetResampleKernelForTesting(ResampleKernel widest);

}  // namespace vantrel
