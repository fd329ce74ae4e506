#include <gtest/gtest.h>

#include <cmath>
#include <functional>

#include "imaging/resample.h"
#include "lens/load_correction.h"
#include "test_support.h"
#include "util/cpu.h"
#include "util/parallel.h"

namespace vantrel {
namespace {

// A picture with the lens values it is corrected with; grey 77 fills.
struct Loaded {
    vantrel::Bitmap Bitmap;
    TLensCorrection lens;
};

Loaded SlotWith(Bitmap b, Extended scale, Extended a, Extended bCoeff, Extended c, Extended d) {
    return {std::move(b), {scale, a, bCoeff, c, d}};
}

void Correct(Loaded& s, const std::function<void(int)>& progress = {}) { ApplyLensCorrection(s.Bitmap, s.lens, 77, progress); }

TEST(LoadCorrection, IdentityLeavesTheImageAloneWhateverD) {
    const Bitmap original = test::Gradient(40, 30);
    Loaded s = SlotWith(original, 1, 0, 0, 0, 0.5);
    bool called = false;
    Correct(s, [&](int) { called = true; });
    EXPECT_TRUE(s.Bitmap.samePixels(original));
    EXPECT_FALSE(called);
}

TEST(LoadCorrection, ScaleTwoShowsHalfSizeWithGreyAround) {
    // Red grows by one a column, so bilinear sampling is exact and the half-size
    // picture can be read off: output column x samples source position 2x - 49.
    Bitmap b(100, 60);
    for (int y = 0; y < 60; ++y)
        for (int x = 0; x < 100; ++x) b.row(y)[x * 3 + 2] = static_cast<std::uint8_t>(x);
    Loaded s = SlotWith(b, 2, 0, 0, 0, 1);
    Correct(s);
    const int midRow = 30;
    for (int x = 0; x < 100; ++x) {
        const auto* p = test::Pixel(s.Bitmap, x, midRow);
        if (x < 25 || x > 74) {
            EXPECT_TRUE(p[0] == 77 && p[1] == 77 && p[2] == 77) << x;
        } else {
            EXPECT_EQ(p[2], 2 * x - 50) << x;
        }
    }
    EXPECT_EQ(test::Pixel(s.Bitmap, 50, 0)[0], 77);  // above the half-size picture
}

TEST(LoadCorrection, SameOutputForAnyThreadCountAndProgressRuns) {
    const Bitmap original = test::Gradient(311, 203);
    Bitmap reference;
    for (int threads : {1, 2, 3}) {
        SetParallelThreads(threads);
        Loaded s = SlotWith(original, 1.02L, 0.01L, -0.05L, 0.02L, 1.02L);
        std::vector<int> seen;
        Correct(s, [&](int p) { seen.push_back(p); });
        ASSERT_FALSE(seen.empty());
        EXPECT_TRUE(std::is_sorted(seen.begin(), seen.end()));
        EXPECT_EQ(seen.back(), 100);
        if (threads == 1)
            reference = s.Bitmap;
        else
            EXPECT_TRUE(s.Bitmap.samePixels(reference)) << threads;
    }
    SetParallelThreads(0);
    EXPECT_FALSE(reference.samePixels(original));

    CapInstructionSet(InstructionSet::Avx512);
}

TEST(LoadCorrection, VectorKernelsGiveThePlainKernelsBytes) {
    // Rows that curve strongly (groups of pixels straddling source rows),
    // widths that are no multiple of the vector width, odd sizes with a pixel
    // on the exact centre, and sizes around the smallest the widest kernel takes.
    const std::vector<std::pair<int, int>> sizes{{311, 203}, {16, 16}, {17, 9}, {64, 2}, {15, 40}, {40, 1}};
    for (auto [w, h] : sizes) {
        const Bitmap original = test::Gradient(w, h);
        for (Extended b : {-0.05L, -0.4L, 0.3L}) {
            for (Extended scale : {1.02L, 1.6L}) {
                Bitmap expected;
                for (InstructionSet kernel : {InstructionSet::Plain, InstructionSet::Avx2, InstructionSet::Avx512}) {
                    CapInstructionSet(kernel);
                    Loaded s = SlotWith(original, scale, 0.01L, b, 0.02L, 1.02L);
                    Correct(s);
                    if (kernel == InstructionSet::Plain)
                        expected = s.Bitmap;
                    else
                        EXPECT_TRUE(s.Bitmap.samePixels(expected))
                            << static_cast<int>(kernel) << " " << w << "x" << h << " b " << b << " scale " << scale;
                }
            }
        }
    }
    CapInstructionSet(InstructionSet::Avx512);
}

TEST(LoadCorrection, EveryKernelPlacesPixelsWhereThePolynomialSays) {
    // Red is the column and green the row, so an output pixel reads back its
    // source position. f = 0.5 r^3 - 0.6 r^2 + 0.4 r + 0.7, r = distance / 128
    // about (128, 128); the positions were worked out apart from this code.
    Bitmap ramp(256, 256);
    for (int y = 0; y < 256; ++y)
        for (int x = 0; x < 256; ++x) ramp.row(y)[3 * x + 1] = static_cast<std::uint8_t>(y), ramp.row(y)[3 * x + 2] = static_cast<std::uint8_t>(x);
    const struct {
        int x, y, red, green;
    } cases[] = {{191, 127, 179, 127}, {224, 100, 213, 103}, {150, 230, 148, 220}, {20, 40, 13, 34}, {60, 200, 68, 191}};
    for (InstructionSet kernel : {InstructionSet::Plain, InstructionSet::Avx2, InstructionSet::Avx512}) {
        CapInstructionSet(kernel);
        Loaded s = SlotWith(ramp, 1, 0.5L, -0.6L, 0.4L, 0.7L);
        Correct(s);
        for (const auto& c : cases) {
            EXPECT_EQ(test::Pixel(s.Bitmap, c.x, c.y)[2], c.red) << static_cast<int>(kernel) << " " << c.x << "," << c.y;
            EXPECT_EQ(test::Pixel(s.Bitmap, c.x, c.y)[1], c.green) << static_cast<int>(kernel) << " " << c.x << "," << c.y;
        }
    }
    CapInstructionSet(InstructionSet::Avx512);
}

TEST(LoadCorrection, ThinImagesAndWildValuesStayInBounds) {
    for (auto [w, h] : std::vector<std::pair<int, int>>{{1, 1}, {1, 9}, {9, 1}, {2, 2}}) {
        for (Extended scale : {0.5L, 0.999L, 1e-9L, 3.0L}) {
            Loaded s = SlotWith(test::Gradient(w, h), scale, 0, 0, 0, 1);
            Correct(s);
            EXPECT_EQ(s.Bitmap.width(), w);
        }
    }
    for (int side : {8, 40}) {  // below and above the widths of the vector kernels
        Loaded nan = SlotWith(test::Gradient(side, side), 1, std::nanl(""), 0, 0, 1);
        Correct(nan);
        EXPECT_EQ(test::Pixel(nan.Bitmap, side / 2, side / 2)[1], 77);
        Loaded huge = SlotWith(test::Gradient(side, side), 1e300L, 0, 0, 0, 1);
        Correct(huge);
        EXPECT_EQ(test::Pixel(huge.Bitmap, 0, 0)[1], 77);
        Loaded mirrored = SlotWith(test::Gradient(side, side), -1, 0, 0, 0, 1);  // upside down
        Correct(mirrored);
        EXPECT_EQ(test::Pixel(mirrored.Bitmap, 0, 0)[0], test::Pixel(test::Gradient(side, side), side - 1, side - 1)[0]);
    }
}

}  // namespace
}  // namespace vantrel
