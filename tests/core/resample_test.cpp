#include "imaging/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>
#include <vector>

#include "test_support.h"
#include "util/cpu.h"

namespace vantrel {
namespace {

// Every vector sampler gives exactly the plain sampler's bytes for rows of
// positions as a warp makes them: rotated and scaled lines that run off the
// image, cross source rows, spread wide or bunch up, and positions on and
// just beyond the edges, at 1 (where the nudge starts) and not numbers at all.
TEST(ResampleRow, VectorKernelsGiveThePlainKernelsBytes) {
  // 16-bit and float pictures too, their samples using every bit.
  for (const SampleDepth depth : {SampleDepth::U8, SampleDepth::U16, SampleDepth::Float}) {
    SCOPED_TRACE(DepthName(depth));
    Bitmap src = test::Gradient(53, 37);
    if (depth != SampleDepth::U8) {
        Bitmap deep(53, 37, depth);
        std::uint32_t noise = 9;
        for (int y = 0; y < 37; ++y)
            for (int i = 0; i < 3 * 53; ++i) {
                noise = noise * 1664525u + 1013904223u;
                if (depth == SampleDepth::U16) deep.rowAs<std::uint16_t>(y)[i] = static_cast<std::uint16_t>(src.row(y)[i] * 257 ^ (noise >> 24));
                else deep.rowAs<float>(y)[i] = src.row(y)[i] / 97.0f + static_cast<float>(noise >> 8) * 1e-9f;
            }
        src = std::move(deep);
    }
    const double w = src.width(), h = src.height();
    std::vector<std::vector<double>> xsRows, ysRows;
    for (double angle : {0.0, 0.05, -0.4, 1.3, 3.0}) {
        for (double step : {0.3, 1.0, 1.7, 4.5}) {
            std::vector<double> xs, ys;
            for (int i = 0; i < 71; ++i) {
                xs.push_back(-3.2 + i * step * std::cos(angle));
                ys.push_back(h / 2 + 0.37 + i * step * std::sin(angle));
            }
            xsRows.push_back(xs);
            ysRows.push_back(ys);
        }
    }
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    xsRows.push_back(
        {0.5, w - 0.5, 1.0, 1.0000001, 0.4999, w - 0.4999, nan, inf, -inf, 1e300, 3.5, 7.25, 0.5, 1, 2, w - 0.5});
    ysRows.push_back(
        {0.5, h - 0.5, 1.0, 1.0, 2.0, 3.0, 4.0, 5.0, 6.0, 7.0, nan, h - 0.5, h - 0.5, 0.5, 1.0000001, 1.0});

    for (std::size_t row = 0; row < xsRows.size(); ++row) {
        const int count = static_cast<int>(xsRows[row].size());
        std::vector<std::uint8_t> expected;
        for (InstructionSet kernel : {InstructionSet::Plain, InstructionSet::Avx2, InstructionSet::Avx512}) {
            CapInstructionSet(kernel);
            std::vector<std::uint8_t> out(static_cast<std::size_t>(src.pixelBytes()) * count);
            ResampleRow(src, xsRows[row].data(), ysRows[row].data(), count, 66, out.data());
            if (kernel == InstructionSet::Plain)
                expected = out;
            else
                EXPECT_EQ(out, expected) << "kernel " << static_cast<int>(kernel) << " row " << row;
        }
    }
    CapInstructionSet(InstructionSet::Avx512);
  }
}

// The vector kernels blend in single precision and redo in doubles whatever
// lies near a rounding boundary. On noise, a million pixels turned and scaled
// as hand-held brackets are (steps just below and above one source pixel,
// rows crossed) put many sums within a float's error of a half: any margin
// too small shows as a differing byte.
TEST(ResampleRow, VectorKernelsRoundNoiseAsThePlainKernelDoes) {
    std::mt19937 rng(7);
    Bitmap src(301, 203);
    for (int y = 0; y < src.height(); ++y)
        for (int x = 0; x < 3 * src.width(); ++x) src.row(y)[x] = static_cast<std::uint8_t>(rng());
    std::uniform_real_distribution<double> angle(-0.05, 0.05), step(0.9, 1.1), start(0.5, 4.0), fraction(0, 1);
    constexpr int kCount = 256;
    for (int row = 0; row < 4000; ++row) {
        const double a = angle(rng), s = step(rng), x0 = start(rng), y0 = 1 + fraction(rng) * (src.height() - 12);
        std::vector<double> xs(kCount), ys(kCount);
        for (int i = 0; i < kCount; ++i) {
            xs[i] = x0 + i * s * std::cos(a);
            ys[i] = y0 + i * s * std::sin(a);
        }
        std::vector<std::uint8_t> plain(3 * kCount), vector(3 * kCount);
        CapInstructionSet(InstructionSet::Plain);
        ResampleRow(src, xs.data(), ys.data(), kCount, 0, plain.data());
        CapInstructionSet(InstructionSet::Avx512);
        ResampleRow(src, xs.data(), ys.data(), kCount, 0, vector.data());
        ASSERT_EQ(vector, plain) << "row " << row;
    }
}

}  // namespace
}  // namespace vantrel
