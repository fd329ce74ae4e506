#include <gtest/gtest.h>

#include <random>

#include "imaging/luminance.h"
#include "imaging/pixel.h"
#include "test_support.h"
#include "util/parallel.h"

namespace vantrel {
namespace {

TEST(PixelHelpers, LightnessBrightnessClampBlend) {
    EXPECT_EQ(PixelLightness(10, 200, 90), 105);
    EXPECT_EQ(PixelLightness(90, 10, 200), 105);
    EXPECT_EQ(PixelLightness(255, 255, 254), 254);

    EXPECT_EQ(BrightnessFactor(0), 1.0L);
    EXPECT_NEAR(static_cast<double>(BrightnessFactor(255)), 10.0, 1e-12);
    EXPECT_NEAR(static_cast<double>(BrightnessFactor(-255)), 0.1, 1e-12);

    EXPECT_EQ(ClampByte(2.5), 2);  // halves to even
    EXPECT_EQ(ClampByte(3.5), 4);
    EXPECT_EQ(ClampByte(-0.7), 0);
    EXPECT_EQ(ClampByte(254.5), 254);
    EXPECT_EQ(ClampByte(1e30), 255);
    EXPECT_EQ(ClampByte(std::nan("")), 0);

    EXPECT_DOUBLE_EQ(BlendBilinear(10, 20, 30, 40, 0.5, 0.5), 10);
    EXPECT_DOUBLE_EQ(BlendBilinear(10, 20, 30, 40, 1.5, 1.5), 40);
    EXPECT_DOUBLE_EQ(BlendBilinear(10, 20, 30, 40, 1.0, 1.0), 25);
    EXPECT_DOUBLE_EQ(BlendBilinear(10, 20, 30, 40, 1.5, 0.5), 20);
}

TEST(Luminance, WhiteMixedAndEmpty) {
    Bitmap white(5, 3);
    white.fill(255, 255, 255);
    std::int32_t lum = -1;
    Histogram256 hist{};
    ComputeLuminance(white, lum, hist);
    EXPECT_EQ(lum, 255);
    EXPECT_EQ(hist[255], 15);

    Bitmap mixed(2, 1);
    std::uint8_t* p = mixed.row(0);
    p[0] = 10, p[1] = 200, p[2] = 90;  // lightness 105
    p[3] = 0, p[4] = 0, p[5] = 0;
    ComputeLuminance(mixed, lum, hist);
    EXPECT_EQ(hist[105], 1);
    EXPECT_EQ(hist[0], 1);
    EXPECT_EQ(lum, 52);  // 105 div 2, truncated
    EXPECT_EQ(MeanLightness(mixed), 52);

    ComputeLuminance(Bitmap(), lum, hist);
    EXPECT_EQ(lum, 0);
    EXPECT_EQ(hist[0], 0);
    EXPECT_EQ(MeanLightness(Bitmap()), 0);
}

TEST(Luminance, SameResultForAnyThreadCountAndRowWidth) {
    // A smooth picture and random bytes, with rows that fill whole vectors
    // and leave tails of every kind.
    std::mt19937 rng(3);
    Bitmap noise(200, 7);
    for (int y = 0; y < noise.height(); ++y)
        for (int i = 0; i < noise.width() * 3; ++i) noise.row(y)[i] = static_cast<std::uint8_t>(rng());
    for (const Bitmap& b : {test::Gradient(1001, 333), noise, test::Gradient(64, 3), test::Gradient(1, 5)}) {
        std::int64_t sum = 0;
        Histogram256 expected{};
        for (int y = 0; y < b.height(); ++y)
            for (int x = 0; x < b.width(); ++x) {
                const auto* q = test::Pixel(b, x, y);
                const int l = PixelLightness(q[0], q[1], q[2]);
                sum += l;
                ++expected[l];
            }
        const auto expectedLum = static_cast<std::int32_t>(sum / (static_cast<std::int64_t>(b.width()) * b.height()));
        for (int threads : {1, 2, 5}) {
            SetParallelThreads(threads);
            std::int32_t lum = 0;
            Histogram256 hist{};
            ComputeLuminance(b, lum, hist);
            EXPECT_EQ(lum, expectedLum) << b.width();
            EXPECT_EQ(hist, expected) << b.width();
            EXPECT_EQ(MeanLightness(b), expectedLum) << b.width();
        }
    }
    SetParallelThreads(0);
}

}  // namespace
}  // namespace vantrel
