#include <gtest/gtest.h>

#include <cmath>
#include <numbers>
#include <random>
#include <cstring>

#include <opencv2/imgproc.hpp>

#include "align/alignment.h"
#include "align/camera_model.h"
#include "align/mapping.h"
#include "imaging/resample.h"
#include "test_support.h"
#include "util/cpu.h"
#include "util/parallel.h"

namespace vantrel {
namespace {

constexpr double kPi = std::numbers::pi;

// Three loaded slots over one textured picture with a given alignment.
struct Scene {
    std::array<TImageSlot, kSlotCount> slots;
    MasterGeometry master;

    Scene(double halfFOV, double rotation2, double scale2, double rotation3, double scale3, int w = 320, int h = 240) {
        for (int n = 1; n <= 3; ++n) {
            TImageSlot& s = slots[n - 1];
            s.Bitmap = test::Gradient(w + 10 * n, h - 6 * n);
            s.Loaded = true;
            s.ImageCenterX = s.Bitmap.width() / 2;
            s.ImageCenterY = s.Bitmap.height() / 2;
            s.CP1X = 40 + 3 * n;
            s.CP1Y = 60 - n;
            s.CP2X = w - 50 + n;
            s.CP2Y = 70 + 2 * n;
            s.Luminance = 90 + n;
        }
        const double f = FocalLengthFor(halfFOV, slots[0].Bitmap.width(), slots[0].Bitmap.height());
        for (auto& s : slots) SolveSlot(s, halfFOV, f);
        slots[1].Rotation = rotation2;
        slots[1].Scale = scale2;
        slots[2].Rotation = rotation3;
        slots[2].Scale = scale3;
        const TImageSlot& m = slots[0];
        master = {1, m.Bitmap.width(), m.Bitmap.height(), m.ImageCenterX, m.ImageCenterY, m.CP1X, m.CP1Y, m.CP2X,
                  m.CP2Y, static_cast<double>(m.CP1Azimuth), static_cast<double>(m.CP1Meridian), halfFOV, f};
    }
};

// The output view rendered straight from the step-by-step mapping, without
// marks and frames: what the fast renderer must reproduce.
Bitmap OraclePreview(const Scene& scene, const OutputViewState& view, int w, int h) {
    Bitmap out(w, h);
    const double k = view.zoom;
    const double x0 = view.centerX - std::nearbyint(w * k / 2), y0 = view.centerY - std::nearbyint(h * k / 2);
    const bool spherical = scene.master.spherical();
    const double refX = spherical ? scene.master.centerX : scene.master.cp1X;
    const double refY = spherical ? scene.master.centerY : scene.master.cp1Y;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const double px = std::nearbyint(x * k) + x0 - refX, py = std::nearbyint(y * k) + y0 - refY;
            int sum[3] = {0, 0, 0};
            for (int n = 1; n <= 3; ++n) {
                const TImageSlot& s = scene.slots[n - 1];
                const SourcePosition p = MapToSource(scene.master, test::SourceOf(s), n == 1, px, py, true);
                if (!p.valid || p.x < 0 || p.y < 0 || p.x > s.Bitmap.width() - 1 || p.y > s.Bitmap.height() - 1)
                    continue;
                const std::uint8_t* q = test::Pixel(s.Bitmap, static_cast<int>(p.x), static_cast<int>(p.y));
                for (int c = 0; c < 3; ++c) sum[c] += q[c] == 0 ? 0 : q[c];
            }
            for (int c = 0; c < 3; ++c) out.row(y)[x * 3 + c] = static_cast<std::uint8_t>(sum[c] / 3);
        }
    return out;
}

int DifferingInterior(const Bitmap& a, const Bitmap& b) {
    int differing = 0;
    for (int y = 2; y < a.height() - 2; ++y)
        for (int x = 2; x < a.width() - 2; ++x)
            differing += std::memcmp(test::Pixel(a, x, y), test::Pixel(b, x, y), 3) != 0;
    return differing;
}

TEST(RenderPreview, MatchesTheStepByStepMapping) {
    struct Case {
        double halfFOV, r2, s2, r3, s3, zoom;
    } cases[] = {
        {0, 0.1, 1.05, -0.3, 0.9, 0.8},           {0, 2.5, 0.5, 0, 1, 1.7},
        {kPi / 6, 0.05, 1.02, -0.1, 0.97, 0.9},   {kPi / 3, 0.4, 1.3, -1.2, 0.8, 1.3},
        {kPi * 85 / 180, 3.0, 1.0, 0.7, 1.6, 2.0},
    };
    for (const Case& c : cases) {
        Scene scene(c.halfFOV, c.r2, c.s2, c.r3, c.s3);
        const OutputViewState view{scene.master.centerX + 7, scene.master.centerY - 5, c.zoom};
        Bitmap fast(120, 90);
        RenderPreview(test::SourcesOf(scene.slots), scene.master, view, nullptr, fast, nullptr);
        const Bitmap oracle = OraclePreview(scene, view, 120, 90);
        // The vector form may put a rare pixel one source pixel over.
        const int differing = DifferingInterior(fast, oracle);
        EXPECT_LE(differing, 120 * 90 / 200) << c.halfFOV << " " << c.r2;
        RecordProperty("differing", differing);
        // Not a vacuous match: the images differ from plain black and from each other's shifts.
        EXPECT_GT(test::Pixel(oracle, 60, 45)[0] + test::Pixel(oracle, 60, 45)[1] + test::Pixel(oracle, 60, 45)[2], 0);
    }
}

TEST(RenderPreview, OverlaysAndCoverage) {
    Scene scene(0, 0, 1, 0, 1);
    // Only the master: the view reproduces it, at brightness 0 unchanged.
    scene.slots[1].Loaded = scene.slots[2].Loaded = false;
    const OutputViewState view{scene.master.centerX, scene.master.centerY, 1};
    Bitmap out(100, 80);
    RenderPreview(test::SourcesOf(scene.slots), scene.master, view, nullptr, out, nullptr);
    const int sx = scene.master.centerX - 50 + 30, sy = scene.master.centerY - 40 + 20;
    EXPECT_EQ(0, std::memcmp(test::Pixel(out, 30, 20), test::Pixel(scene.slots[0].Bitmap, sx, sy), 3));
    EXPECT_EQ(test::Pixel(out, 0, 10)[0], 0);  // black outline

    // Brightness 255: ten times brighter, saturating.
    scene.slots[0].Brightness = 255;
    RenderPreview(test::SourcesOf(scene.slots), scene.master, view, nullptr, out, nullptr);
    const std::uint8_t* src = test::Pixel(scene.slots[0].Bitmap, sx, sy);
    for (int c = 0; c < 3; ++c) EXPECT_EQ(test::Pixel(out, 30, 20)[c], std::min(255, src[c] * 10));
    scene.slots[0].Brightness = 0;

    // Two images, one shifted far away: where only one covers, half brightness.
    scene.slots[1].Loaded = true;
    scene.slots[1].CP1X = -10000;
    RenderPreview(test::SourcesOf(scene.slots), scene.master, view, nullptr, out, nullptr);
    EXPECT_EQ(test::Pixel(out, 30, 20)[1], src[1] / 2);

    // The frame of the saved output, with borders.
    const OutputViewState fit{scene.master.width / 2, scene.master.height / 2, 4.0};
    Borders borders{10, 20, 0, 0};
    RenderPreview(test::SourcesOf(scene.slots), scene.master, fit, &borders, out, nullptr);
    const int left = 50 - static_cast<int>(std::nearbyint(scene.master.width / 2 / 4.0)) - 5;
    ASSERT_GT(left, 0);
    EXPECT_EQ(test::Pixel(out, left, 40)[0], 128);
    EXPECT_NE(test::Pixel(out, left + 1, 40)[0], 128);

    // Nothing loaded: the bitmap stays as it was.
    for (auto& s : scene.slots) s.Loaded = false;
    out.fill(1, 2, 3);
    RenderPreview(test::SourcesOf(scene.slots), scene.master, view, nullptr, out, nullptr);
    EXPECT_EQ(test::Pixel(out, 50, 40)[2], 3);
}

// Full size from the step-by-step mapping, through the plain sampler.
Bitmap OracleWarp(const TImageSlot& slot, const MasterGeometry& master, const Borders& b) {
    Bitmap out(master.width + b.left + b.right, master.height + b.top + b.bottom);
    std::vector<double> xs(static_cast<std::size_t>(out.width())), ys(xs.size());
    for (int y = 0; y < out.height(); ++y) {
        for (int x = 0; x < out.width(); ++x) {
            SourcePosition p;
            if (master.spherical())
                p = MapToSource(master, test::SourceOf(slot), false, x - master.width / 2.0 - b.left + 0.5,
                                y - master.height / 2.0 - b.top + 0.5, false);
            else {
                p = MapToSource(master, test::SourceOf(slot), false, x - (master.cp1X + b.left), y - (master.cp1Y + b.top), false);
                p.x += 0.5;
                p.y += 0.5;
            }
            if (!p.valid) p.x = p.y = -1;
            xs[x] = std::nearbyint(std::clamp(p.x, -2147483647.0, 2147483647.0) * 100000) / 100000;
            ys[x] = std::nearbyint(std::clamp(p.y, -2147483647.0, 2147483647.0) * 100000) / 100000;
        }
        ResampleRow(slot.Bitmap, xs.data(), ys.data(), out.width(), static_cast<std::uint8_t>(slot.Luminance),
                    out.row(y));
    }
    return out;
}

TEST(WarpFullSize, MatchesTheStepByStepMappingAndIsThreadIndependent) {
    for (double halfFOV : {0.0, kPi / 5, kPi * 80 / 180}) {
        Scene scene(halfFOV, 0.3, 1.08, -0.2, 0.93);
        const Borders borders{5, 9, 3, 2};
        const TImageSlot& slot = scene.slots[1];
        const Bitmap oracle = OracleWarp(slot, scene.master, borders);
        Bitmap reference;
        for (int threads : {1, 2, 3}) {
            SetParallelThreads(threads);
            Bitmap fast(oracle.width(), oracle.height());
            WarpFullSize(test::SourceOf(slot), false, scene.master, borders, fast);
            if (threads == 1) {
                reference = fast;
                int off = 0;
                for (int y = 0; y < fast.height(); ++y)
                    for (int i = 0; i < fast.width() * 3; ++i) {
                        const int d = std::abs(fast.row(y)[i] - oracle.row(y)[i]);
                        ASSERT_LE(d, 1) << halfFOV;
                        off += d;
                    }
                // On the sphere the positions may stray 1/512 px: a rounding may tip.
                EXPECT_LE(off, fast.width() * fast.height() / (halfFOV > 0 ? 1000 : 10000) + 1) << halfFOV;
            } else {
                EXPECT_TRUE(fast.samePixels(reference)) << threads;
            }
        }
        SetParallelThreads(0);
    }
}

// The deep warp against OpenCV's remap in float on the same positions: a
// smooth picture, so that remap's 1/32-pixel steps of position move no
// sample by more than a tenth of a 16-bit step.
TEST(WarpFullSize, DeepSamplesMatchOpenCVsRemap) {
    Scene scene(kPi / 5, 0.3, 1.08, -0.2, 0.93);
    TImageSlot& slot = scene.slots[1];
    const int w = slot.Bitmap.width(), h = slot.Bitmap.height();
    cv::Mat source(h, w, CV_32FC3);
    for (const SampleDepth depth : {SampleDepth::U16, SampleDepth::Float}) {
        SCOPED_TRACE(DepthName(depth));
        slot.Deep = Bitmap(w, h, depth);
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c) {
                    const double v = 9000 + 12000 * c + 1.5 * x + 1.2 * y + 12 * std::sin(x / 9.0) * std::cos(y / 7.0);
                    if (depth == SampleDepth::U16) slot.Deep.rowAs<std::uint16_t>(y)[3 * x + c] = static_cast<std::uint16_t>(v);
                    else slot.Deep.rowAs<float>(y)[3 * x + c] = static_cast<float>(v / 65535);
                    source.at<cv::Vec3f>(y, x)[c] = depth == SampleDepth::U16 ? static_cast<float>(static_cast<std::uint16_t>(v))
                                                                               : static_cast<float>(v / 65535) * 65535.0f;
                }
        const Borders borders{4, 4, 4, 4};
        const int ow = scene.master.width + 8, oh = scene.master.height + 8;
        Bitmap out(ow, oh, depth);
        std::vector<std::uint8_t> coverage(static_cast<std::size_t>(ow) * oh);
        WarpFullSize(test::SourceOf(slot), false, scene.master, borders, out, {}, coverage.data());
        cv::Mat mapX(oh, ow, CV_32F), mapY(oh, ow, CV_32F), expected;
        std::vector<double> xs(static_cast<std::size_t>(ow)), ys(xs.size());
        for (int y = 0; y < oh; ++y) {
            FullSizeRowPositions(test::SourceOf(slot), false, scene.master, borders, y, ow, xs.data(), ys.data());
            for (int x = 0; x < ow; ++x) {
                mapX.at<float>(y, x) = static_cast<float>(xs[x] - 0.5);  // OpenCV's pixel i is centred on i
                mapY.at<float>(y, x) = static_cast<float>(ys[x] - 0.5);
            }
        }
        cv::remap(source, expected, mapX, mapY, cv::INTER_LINEAR, cv::BORDER_REPLICATE);
        double worst = 0;
        int compared = 0;
        for (int y = 0; y < oh; ++y)
            for (int x = 0; x < ow; ++x) {
                if (!coverage[static_cast<std::size_t>(y) * ow + x]) continue;
                ++compared;
                for (int c = 0; c < 3; ++c) {
                    const double ours = depth == SampleDepth::U16 ? out.rowAs<std::uint16_t>(y)[3 * x + c]
                                                                  : out.rowAs<float>(y)[3 * x + c] * 65535.0;
                    worst = std::max(worst, std::abs(ours - expected.at<cv::Vec3f>(y, x)[c]));
                }
            }
        EXPECT_GT(compared, ow * oh / 2);
        EXPECT_LE(worst, depth == SampleDepth::U16 ? 0.6 : 0.1);  // a tenth of a step, plus rounding to whole steps
    }
}

// The sphere's positions, joined by straight lines where a row bends little,
// against the step-by-step mapping over the whole of a 24 MP-shaped frame.
TEST(WarpFullSize, SphericalPositionsWithinA64thOfAPixel) {
    for (double degrees : {20.0, 60.0, 100.0, 150.0}) {
        Scene scene(degrees * kPi / 360, 0.3, 1.08, -0.2, 0.93, 1200, 800);
        const Borders borders{7, 5, 3, 9};
        const int w = scene.master.width + 14, h = scene.master.height + 10;
        std::vector<double> xs(w), ys(w);
        double worst = 0;
        int interpolated = 0;
        for (int n : {2, 3}) {
            const AlignedSource source = test::SourceOf(scene.slots[n - 1]);
            for (int y = 0; y < h; y += 13) {
                FullSizeRowPositions(source, false, scene.master, borders, y, w, xs.data(), ys.data());
                for (int x = 0; x < w; ++x) {
                    const SourcePosition p = MapToSource(scene.master, source, false, x - scene.master.width / 2.0 - borders.left + 0.5,
                                                         y - scene.master.height / 2.0 - borders.top + 0.5, false);
                    if (!p.valid) {
                        ASSERT_LT(xs[x], 0) << degrees << ": behind the camera at " << x << "," << y;
                        continue;
                    }
                    const double error = std::max(std::fabs(xs[x] - p.x), std::fabs(ys[x] - p.y));
                    worst = std::max(worst, error);
                    interpolated += error > 1e-6;
                }
            }
        }
        EXPECT_LT(worst, 1.0 / 64) << degrees;
        EXPECT_GT(interpolated, 0) << degrees;  // the fast path was taken
    }
}

TEST(WarpFullSize, FusedSnappingEqualsDivision) {
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> near(-7000, 7000), far(-3e9, 3e9), tiny(-1, 1);
    std::vector<double> xs, ys;
    for (int i = 0; i < 200000; ++i) {
        xs.push_back(i % 3 == 0 ? far(rng) : near(rng));
        ys.push_back(i % 5 == 0 ? tiny(rng) : near(rng) + 0.000005);  // halfway cases too
    }
    for (double v : {0.0, -0.0, 0.5, 0.000005, 0.000015, 2147483647.0, -2147483647.0, 1e300, -1e300})
        xs.push_back(v), ys.push_back(v);
    std::vector<double> xa = xs, ya = ys, xb = xs, yb = ys;
    CapInstructionSet(InstructionSet::Plain);  // by division
    SnapPositions(xa.data(), ya.data(), static_cast<int>(xa.size()));
    CapInstructionSet(InstructionSet::Avx512);  // fused where the processor has it
    SnapPositions(xb.data(), yb.data(), static_cast<int>(xb.size()));
    EXPECT_EQ(xa, xb);
    EXPECT_EQ(ya, yb);
    EXPECT_EQ(xa[xa.size() - 2], 2147483647.0);
}

TEST(WarpFullSize, MasterCopyWithBordersAndWildAlignments) {
    Scene scene(0, 0, 1, 0, 1);
    const Borders borders{4, 6, 2, 3};
    const TImageSlot& master = scene.slots[0];
    Bitmap out(scene.master.width + 9, scene.master.height + 6);
    // Its rows copied are exactly what sampling at every pixel's centre gives,
    // borders cut in too.
    for (const Borders& b : {borders, Borders{-3, -5, 2, -4}, Borders{0, 0, 0, 0}}) {
        Bitmap copied(scene.master.width + b.left + b.right, scene.master.height + b.top + b.bottom);
        std::vector<std::uint8_t> coverage(static_cast<std::size_t>(copied.width()) * copied.height());
        WarpFullSize(test::SourceOf(master), true, scene.master, b, copied, {}, coverage.data());
        EXPECT_TRUE(copied.samePixels(OracleWarp(master, scene.master, b))) << b.left;
        EXPECT_EQ(coverage[0], b.top > 0 || b.left > 0 ? 0 : 255);
    }
    WarpFullSize(test::SourceOf(master), true, scene.master, borders, out);
    EXPECT_EQ(test::Pixel(out, 0, 0)[0], 91);  // luminance grey around

    // Thin sources, points behind the camera, enormous scales: no read outside.
    for (double halfFOV : {0.0, kPi / 4, kPi * 89 / 180}) {
        Scene wild(halfFOV, 2.9, 1e6, -2.0, 1e-9);
        for (auto size : {std::pair{1, 1}, {1, 7}, {9, 1}}) {
            TImageSlot thin = wild.slots[1];
            thin.Bitmap = test::Gradient(size.first, size.second);
            thin.CP1X = thin.CP1Y = 0;
            Bitmap o(40, 30);
            wild.master.width = 40;
            wild.master.height = 30;
            WarpFullSize(test::SourceOf(thin), false, wild.master, Borders{}, o);
            thin.Scale = 1;
            thin.Rotation = 0;
            WarpFullSize(test::SourceOf(thin), false, wild.master, Borders{}, o);
        }
    }
}

}  // namespace
}  // namespace vantrel
