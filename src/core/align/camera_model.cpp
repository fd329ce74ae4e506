#include "align/camera_model.h"

#include <algorithm>
#include <cmath>
#include <numbers>

namespace vantrel {

namespace {
constexpr Extended kPi = std::numbers::pi_v<long double>;
}

double FocalLengthFor(double halfFOV, int masterWidth, int masterHeight) {
    if (halfFOV > 0) return (std::max(masterWidth, masterHeight) / 2) / std::tan(halfFOV);
    return kFlatFocalLength;
}

void PointToSpherical(double f, Extended x, Extended y, Extended& azimuth, Extended& meridian) {
    const Extended fe = f;
    const Extended length = std::sqrt(fe * fe + x * x + y * y);
    const Extended forward = fe / length, left = -x / length, up = -y / length;
    meridian = forward == 0 ? 0 : std::atan2(left, forward);
    azimuth = up == 0 ? kPi / 2 : std::atan2(std::sqrt(forward * forward + left * left), up);
}

void PixelToSpherical(double f, int x, int y, Extended& azimuth, Extended& meridian) {
    PointToSpherical(f, static_cast<Extended>(x), static_cast<Extended>(y), azimuth, meridian);
}

void SphericalToPixel(double f, Extended azimuth, Extended meridian, int& x, int& y) {
    constexpr Extended kLimit = 2147483647;
    // A zero denominator divides to an infinity of its sign, clamped to the bound.
    const Extended k = std::clamp(static_cast<Extended>(f) / (std::sin(azimuth) * std::cos(meridian)), -kLimit, kLimit);
    auto toInt = [&](Extended v) {
        const Extended r = std::nearbyint(v);
        if (!(r > -kLimit - 1)) return std::isnan(r) ? 0 : static_cast<int>(-kLimit - 1);
        if (r > kLimit) return static_cast<int>(kLimit);
        return static_cast<int>(r);
    };
    x = toInt(-std::sin(azimuth) * std::sin(meridian) * k);
    y = toInt(-std::cos(azimuth) * k);
}

bool SphericalToPoint(double f, Extended azimuth, Extended meridian, Extended& x, Extended& y) {
    const Extended denominator = std::sin(azimuth) * std::cos(meridian);
    if (denominator == 0) return false;
    const Extended k = static_cast<Extended>(f) / denominator;
    x = -std::sin(azimuth) * std::sin(meridian) * k;
    y = -std::cos(azimuth) * k;
    return true;
}

Extended SphericalDistance(Extended a, Extended b, Extended c) {
    const Extended cosine = std::cos(c) * (std::sin(a) * std::sin(b)) + std::cos(a) * std::cos(b);
    if (cosine > 1) return 0;
    if (cosine < -1) return kPi;
    return std::acos(cosine);
}

TangentFrame FrameAt(double azimuth, double meridian) {
    const double sa = std::sin(azimuth), ca = std::cos(azimuth);
    const double sm = std::sin(meridian), cm = std::cos(meridian);
    return {{sa * cm, sa * sm, ca}, {-ca * cm, -ca * sm, sa}, {-sm, cm, 0}};
}

namespace {
// The value of the compared side at which the sought angle is a right angle;
// past the equator (thetaR >= pi/2) the arc tangent's branch moves by pi.
Extended RightAngleSide(Extended thetaR, Extended angle) {
    Extended u = std::atan2(std::tan(thetaR), std::cos(angle));
    if (thetaR >= kPi / 2) u += kPi;
    return u;
}
}  // namespace

Extended PairAngle(Extended thetaT, Extended d, Extended thetaR, Extended deltaPhi) {
    const Extended fallback = deltaPhi < 0 ? 3 * kPi / 2 : kPi / 2;
    const Extended sinD = std::sin(d);
    if (sinD == 0) return fallback;
    const Extended ratio = std::sin(thetaT) * std::sin(deltaPhi);
    if (std::fabs(ratio) > std::fabs(sinD)) return fallback;
    Extended t = std::asin(ratio / sinD);
    const Extended u = RightAngleSide(thetaR, deltaPhi);
    if (u < thetaT) t = kPi - t;
    if (u > thetaT && deltaPhi < 0) t += 2 * kPi;
    return t;
}

Extended PointBearing(Extended thetaT, Extended d, Extended thetaR, Extended deltaPhi) {
    const Extended fallback = deltaPhi < 0 ? -kPi / 2 : kPi / 2;
    const Extended sinD = std::sin(d);
    if (sinD == 0) return 0;
    const Extended ratio = std::sin(thetaT) * std::sin(deltaPhi);
    if (std::fabs(ratio) > std::fabs(sinD)) return fallback;
    Extended t = std::asin(ratio / sinD);
    const Extended u = RightAngleSide(thetaR, deltaPhi);
    if (u < thetaT && deltaPhi > 0) t = kPi - t;
    if (u < thetaT && deltaPhi <= 0) t = -kPi - t;
    return t;
}

Extended MeridianOffset(Extended d, Extended thetaT, Extended thetaR, Extended beta) {
    const Extended fallback = beta < 0 ? -kPi / 2 : kPi / 2;
    const Extended sinD = std::sin(d);
    if (sinD == 0) return 0;
    const Extended ratio = sinD * std::sin(beta);
    const Extended sinT = std::sin(thetaT);
    if (std::fabs(ratio) > std::fabs(sinT)) return fallback;
    Extended t = std::asin(ratio / sinT);
    const Extended u = RightAngleSide(thetaR, beta);
    if (u < d && beta > 0) t = kPi - t;
    if (u < d && beta <= 0) t = -kPi - t;
    return t;
}

}  // namespace vantrel
