// Alignment against scenes whose true geometry is known: three exposures of
// one synthetic scene, taken through a known similarity (flat model) or a
// known camera rotation (spherical model), with a change of brightness.
#include <gtest/gtest.h>

#include <cmath>
#include <complex>
#include <numbers>

#include "align/alignment.h"
#include "align/camera_model.h"
#include "align/mapping.h"
#include "test_support.h"
#include "workspace/workspace.h"

namespace vantrel {
namespace {

constexpr double kPi = std::numbers::pi;
constexpr int kW = 400, kH = 300;

std::uint8_t Level(double v) { return static_cast<std::uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0)); }

// A smooth texture with structure in both directions.
double Texture(double u, double v, int channel) {
    return 128 + 50 * std::sin(u * 0.11 + channel) * std::cos(v * 0.09 - channel) + 30 * std::sin((u + v) * 0.043);
}

Bitmap Filled(const std::function<double(int x, int y, int c)>& value) {
    Bitmap b(kW, kH);
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            for (int c = 0; c < 3; ++c) b.row(y)[x * 3 + c] = Level(value(x, y, c));
    return b;
}

// Brightness-normalised PSNR of `warped` against `master` where `inside` holds.
double Psnr(const Bitmap& master, const Bitmap& warped, const std::function<bool(int, int)>& inside) {
    double sumM = 0, sumW = 0;
    long count = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            if (inside(x, y))
                for (int c = 0; c < 3; ++c) {
                    sumM += master.row(y)[x * 3 + c];
                    sumW += warped.row(y)[x * 3 + c];
                    ++count;
                }
    EXPECT_GT(count, kW * kH);  // a real overlap
    const double gain = sumM / sumW;
    double error = 0;
    for (int y = 0; y < kH; ++y)
        for (int x = 0; x < kW; ++x)
            if (inside(x, y))
                for (int c = 0; c < 3; ++c) {
                    const double d = master.row(y)[x * 3 + c] - gain * warped.row(y)[x * 3 + c];
                    error += d * d;
                }
    return 10 * std::log10(255.0 * 255.0 / (error / count));
}


TEST(GroundTruth, FlatSimilarities) {
    using C = std::complex<double>;
    const C p1(60, 80), p2(330, 220);  // control points in the master
    struct Exposure {
        C q1, q2;  // the same scene points in the exposure (whole pixels)
        double gain;
    } exposures[2] = {{{75, 62}, {335, 247}, 0.7}, {{40, 110}, {300, 205}, 1.15}};

    Workspace ws;
    ws.placeImage(1, Filled([](int x, int y, int c) { return Texture(x, y, c); }), "master.bmp");
    ws.setControlPoints(1, 60, 80, 330, 220);
    for (int i = 0; i < 2; ++i) {
        const Exposure& e = exposures[i];
        const C z = (e.q2 - e.q1) / (p2 - p1);  // rotation and scale
        ws.placeImage(i + 2,
                      Filled([&](int x, int y, int c) {
                          const C scene = (C(x, y) - e.q1) / z + p1;
                          return e.gain * Texture(scene.real(), scene.imag(), c);
                      }),
                      "exposure.bmp");
        ws.setControlPoints(i + 2, e.q1.real(), e.q1.imag(), e.q2.real(), e.q2.imag());
    }
    ws.SelectMaster(1);
    ws.Recalculate(true);
    const MasterGeometry master = ws.masterGeometry();

    for (int i = 0; i < 2; ++i) {
        const Exposure& e = exposures[i];
        const C z = (e.q2 - e.q1) / (p2 - p1);
        const TImageSlot& slot = ws.slot(i + 2);
        double worst = 0;
        for (int y = 0; y < kH; y += 10)
            for (int x = 0; x < kW; x += 10) {
                const C truth = (C(x, y) - p1) * z + e.q1;
                const SourcePosition p = MapToSource(master, test::SourceOf(slot), false, x - 60, y - 80, false);
                worst = std::max(worst, std::abs(C(p.x, p.y) - truth));
            }
        EXPECT_LT(worst, 1.0) << i;

        Bitmap warped(kW, kH);
        WarpFullSize(test::SourceOf(slot), false, master, Borders{}, warped);
        const double psnr = Psnr(ws.slot(1).Bitmap, warped, [&](int x, int y) {
            const C q = (C(x, y) - p1) * z + e.q1;
            return q.real() > 2 && q.imag() > 2 && q.real() < kW - 3 && q.imag() < kH - 3;
        });
        EXPECT_GT(psnr, 30) << i;
    }
}

// Rotations of the camera, world to camera.
struct Rotation {
    double m[3][3];
    static Rotation Of(double yaw, double pitch, double roll) {
        auto mul = [](const Rotation& a, const Rotation& b) {
            Rotation r{};
            for (int i = 0; i < 3; ++i)
                for (int j = 0; j < 3; ++j)
                    for (int k = 0; k < 3; ++k) r.m[i][j] += a.m[i][k] * b.m[k][j];
            return r;
        };
        // Axes in (forward, left, up): yaw about up, pitch about left, roll about forward.
        const Rotation z{{{std::cos(yaw), -std::sin(yaw), 0}, {std::sin(yaw), std::cos(yaw), 0}, {0, 0, 1}}};
        const Rotation p{{{std::cos(pitch), 0, -std::sin(pitch)}, {0, 1, 0}, {std::sin(pitch), 0, std::cos(pitch)}}};
        const Rotation r{{{1, 0, 0}, {0, std::cos(roll), -std::sin(roll)}, {0, std::sin(roll), std::cos(roll)}}};
        return mul(r, mul(p, z));
    }
    void apply(const double* v, double* out, bool transpose) const {
        for (int i = 0; i < 3; ++i) {
            out[i] = 0;
            for (int k = 0; k < 3; ++k) out[i] += (transpose ? m[k][i] : m[i][k]) * v[k];
        }
    }
};

TEST(GroundTruth, CameraRotations) {
    const double halfFOV = kPi / 6;
    const double f = FocalLengthFor(halfFOV, kW, kH);
    const Rotation cameras[3] = {Rotation::Of(0, 0, 0), Rotation::Of(0.08, 0.05, 0.06), Rotation::Of(-0.06, -0.04, -0.1)};
    const double gains[3] = {1, 0.7, 1.15};

    auto direction = [&](double x, double y, double* d) {  // pixel (index co-ordinates) to camera direction
        const double v[3] = {f, -(x - kW / 2), -(y - kH / 2)};
        const double len = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
        for (int k = 0; k < 3; ++k) d[k] = v[k] / len;
    };
    auto project = [&](const double* d, double& x, double& y) {  // camera direction to pixel
        x = -f * d[1] / d[0] + kW / 2;
        y = -f * d[2] / d[0] + kH / 2;
    };
    auto truth = [&](int camera, double x, double y, double& tx, double& ty) {  // master pixel in another camera
        double d[3], world[3], c[3];
        direction(x, y, d);
        cameras[0].apply(d, world, true);
        cameras[camera].apply(world, c, false);
        project(c, tx, ty);
    };
    auto sceneAt = [&](const double* world, int c) {
        const double lon = std::atan2(world[1], world[0]), lat = std::asin(world[2]);
        return Texture(lon * f, lat * f, c);
    };

    Workspace ws;
    for (int n = 0; n < 3; ++n)
        ws.placeImage(n + 1,
                      Filled([&](int x, int y, int c) {
                          double d[3], world[3];
                          direction(x, y, d);
                          cameras[n].apply(d, world, true);
                          return gains[n] * sceneAt(world, c);
                      }),
                      "exposure.bmp");

    // Control points on master pixels that fall (almost) on whole pixels in both
    // other exposures, one on each side of the frame.
    auto nearWhole = [](double v) { return std::fabs(v - std::nearbyint(v)) < 0.1; };
    int found[2][2] = {{-1, -1}, {-1, -1}};
    for (int side = 0; side < 2; ++side) {
        const int x0 = side ? kW - 120 : 10;
        for (int y = 30; y < kH - 30 && found[side][0] < 0; ++y)
            for (int x = x0; x < x0 + 110 && found[side][0] < 0; ++x) {
                double ax, ay, bx, by;
                truth(1, x, y, ax, ay);
                truth(2, x, y, bx, by);
                if (nearWhole(ax) && nearWhole(ay) && nearWhole(bx) && nearWhole(by)) {
                    found[side][0] = x;
                    found[side][1] = y;
                }
            }
    }
    ASSERT_GE(found[0][0], 0);
    ASSERT_GE(found[1][0], 0);
    for (int n = 0; n < 3; ++n) {
        double x1, y1, x2, y2;
        truth(n, found[0][0], found[0][1], x1, y1);
        truth(n, found[1][0], found[1][1], x2, y2);
        ws.setControlPoints(n + 1, std::nearbyint(x1), std::nearbyint(y1), std::nearbyint(x2), std::nearbyint(y2));
    }
    ws.setFOVDegrees(halfFOV * 360 / kPi);
    ws.SelectMaster(1);  // focal length and solving
    ws.Recalculate(true);
    const MasterGeometry master = ws.masterGeometry();
    ASSERT_NEAR(master.focalLengthPx, f, 1e-6);

    for (int n = 1; n < 3; ++n) {
        const TImageSlot& slot = ws.slot(n + 1);
        double worst = 0;
        for (int y = 0; y < kH; y += 10)
            for (int x = 0; x < kW; x += 10) {
                double tx, ty;
                truth(n, x, y, tx, ty);
                const SourcePosition p = MapToSource(master, test::SourceOf(slot), false, x - kW / 2, y - kH / 2, false);
                ASSERT_TRUE(p.valid);
                worst = std::max(worst, std::hypot(p.x - tx, p.y - ty));
            }
        EXPECT_LT(worst, 1.0) << n;

        Bitmap warped(kW, kH);
        WarpFullSize(test::SourceOf(slot), false, master, Borders{}, warped);
        const double psnr = Psnr(ws.slot(1).Bitmap, warped, [&](int x, int y) {
            double tx, ty;
            truth(n, x, y, tx, ty);
            return tx > 2 && ty > 2 && tx < kW - 3 && ty < kH - 3;
        });
        EXPECT_GT(psnr, 30) << n;
    }
}

}  // namespace
}  // namespace vantrel
