#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

#include "align/camera_model.h"

namespace vantrel {
namespace {

constexpr double kPi = std::numbers::pi;

TEST(CameraModel, CentreHorizonAndSigns) {
    const double f = FocalLengthFor(kPi / 6, 3000, 2000);
    EXPECT_DOUBLE_EQ(f, 1500 / std::tan(kPi / 6));
    EXPECT_DOUBLE_EQ(FocalLengthFor(kPi / 6, 2000, 3000), f);
    EXPECT_EQ(FocalLengthFor(0, 3000, 2000), 1.0e9);

    Extended a, m;
    PixelToSpherical(f, 0, 0, a, m);
    EXPECT_EQ(m, 0);
    EXPECT_EQ(a, std::numbers::pi_v<long double> / 2);
    int x = 7, y = 7;
    SphericalToPixel(f, std::numbers::pi_v<long double> / 2, 0, x, y);
    EXPECT_EQ(x, 0);
    EXPECT_EQ(y, 0);

    PixelToSpherical(f, 1234, 0, a, m);
    EXPECT_EQ(a, std::numbers::pi_v<long double> / 2);  // exactly, on the horizon
    EXPECT_LT(m, 0);                                    // right of centre
    PixelToSpherical(f, -5, 300, a, m);
    EXPECT_GT(a, kPi / 2);  // below centre
    EXPECT_GT(m, 0);

    // No image point straight up or at the side.
    Extended px, py;
    EXPECT_FALSE(SphericalToPoint(f, 0, 0, px, py));
}

TEST(CameraModel, PixelRoundTripOverA24MegapixelFrame) {
    for (double degrees : {1.0, 30.0, 60.0, 100.0, 170.0}) {
        const double f = FocalLengthFor(degrees * kPi / 360, 6000, 4000);
        int failures = 0;
        for (int y = -2000; y < 2000; y += 13)
            for (int x = -3000; x < 3000; x += 11) {
                Extended a, m;
                PixelToSpherical(f, x, y, a, m);
                int bx, by;
                SphericalToPixel(f, a, m, bx, by);
                failures += bx != x || by != y;
            }
        EXPECT_EQ(failures, 0) << degrees;
    }
    // The corners too.
    const double f = FocalLengthFor(kPi / 3, 6000, 4000);
    for (auto [x, y] : {std::pair{-3000, -2000}, {2999, 1999}, {-3000, 1999}, {2999, -2000}}) {
        Extended a, m;
        PixelToSpherical(f, x, y, a, m);
        int bx, by;
        SphericalToPixel(f, a, m, bx, by);
        EXPECT_EQ(bx, x);
        EXPECT_EQ(by, y);
    }
}

TEST(CameraModel, DistanceAndTriangleAngles) {
    const long double a = 1.2L, m = 0.3L;
    EXPECT_EQ(SphericalDistance(a, a, 0), 0);
    EXPECT_EQ(SphericalDistance(0.7L, 0.7L, 0), 0);  // cosine rounding above 1 gives 0
    EXPECT_NEAR(static_cast<double>(SphericalDistance(kPi / 2, kPi / 2, 0.5L)), 0.5, 1e-15);
    (void)m;

    const long double thetaR = kPi / 2;
    // Straight above the reference (same meridian, smaller azimuth): 0; straight below: pi.
    EXPECT_NEAR(static_cast<double>(PairAngle(1.0L, kPi / 2 - 1.0L, thetaR, 0)), 0, 1e-12);
    EXPECT_NEAR(static_cast<double>(PairAngle(2.0L, 2.0L - kPi / 2, thetaR, 0)), kPi, 1e-12);
    // Target to the right (meridian smaller) and above: in (3pi/2, 2pi).
    const long double thetaT = 1.4L, dphi = -0.2L;
    const long double d = SphericalDistance(thetaR, thetaT, dphi);
    const double angle = static_cast<double>(PairAngle(thetaT, d, thetaR, dphi));
    EXPECT_GT(angle, 3 * kPi / 2);
    EXPECT_LT(angle, 2 * kPi);
    // A horizontal pair to the right points at pi/2 (measured from up).
    EXPECT_NEAR(static_cast<double>(PairAngle(kPi / 2, 0.3L, kPi / 2, 0.3L)), kPi / 2, 1e-12);

    EXPECT_EQ(PointBearing(1.0L, 0, 1.0L, 0.2L), 0);
    EXPECT_EQ(MeridianOffset(0, 1.0L, 1.0L, 0.4L), 0);

    // Bearing then meridian offset recover the target's meridian.
    for (long double target : {-0.6L, -0.1L, 0.05L, 0.8L}) {
        const long double aR = 1.3L, aT = 1.9L;
        const long double dist = SphericalDistance(aR, aT, target);
        const long double beta = PointBearing(aT, dist, aR, target);
        EXPECT_NEAR(static_cast<double>(MeridianOffset(dist, aT, aR, beta)), static_cast<double>(target), 1e-9);
    }
}

}  // namespace
}  // namespace vantrel
