#include "imaging/resample.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
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
    const Bitmap src = test::Gradient(53, 37);
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
            std::vector<std::uint8_t> out(3 * static_cast<std::size_t>(count));
            ResampleRow(src, xsRows[row].data(), ysRows[row].data(), count, 66, out.data());
            if (kernel == InstructionSet::Plain)
                expected = out;
            else
                EXPECT_EQ(out, expected) << "kernel " << static_cast<int>(kernel) << " row " << row;
        }
    }
    CapInstructionSet(InstructionSet::Avx512);
}

}  // namespace
}  // namespace vantrel
