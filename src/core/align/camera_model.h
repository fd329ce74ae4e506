#pragma once

#include "imaging/pixel.h"

namespace vantrel {

// The rectilinear camera: a pixel offset (x right, y down) from the image
// centre is the direction (f, -x, -y) = (forward, left, up). Azimuth is the
// angle from the zenith (pi/2 on the horizon), meridian the angle about the
// vertical axis (0 straight ahead, positive to the left). f is the focal
// length in pixels.

// The focal length that stands for "no field of view": a practically flat projection.
inline constexpr double kFlatFocalLength = 1.0e9;

// Focal length in master pixels for half the field of view across the
// master's longer side; kFlatFocalLength without one.
double FocalLengthFor(double halfFOV, int masterWidth, int masterHeight);

// Whether the sphere of view can carry the alignment: an angle is set and the
// focal length it gives is a usable number. A master of one pixel gives 0, a
// vanishing angle an astronomic length; both mean the flat model.
inline bool SphericalModelApplies(double halfFOV, double focalLengthPx) {
    return halfFOV > 0 && focalLengthPx > 0 && focalLengthPx < kFlatFocalLength;
}

void PixelToSpherical(double f, int x, int y, Extended& azimuth, Extended& meridian);
void PointToSpherical(double f, Extended x, Extended y, Extended& azimuth, Extended& meridian);
// Rounded (halves to even) and clamped; mirrored behind the camera.
void SphericalToPixel(double f, Extended azimuth, Extended meridian, int& x, int& y);
// False when the direction has no image point (azimuth 0 or pi, meridian +-pi/2).
bool SphericalToPoint(double f, Extended azimuth, Extended meridian, Extended& x, Extended& y);

// The alignment works in the spherical triangle of the zenith P, a reference
// point R and a target point T: its sides are the azimuths thetaR = PR and
// thetaT = PT (azimuths are angles from the zenith) and the great-circle
// distance d = RT; its angle at P is the meridian difference, its angle at R
// the bearing of T seen from R (0 towards the zenith).

// The side d opposite the angle c between sides a and b (the spherical law of
// cosines: cos d = cos a cos b + sin a sin b cos c); a rounded cosine past +-1
// gives 0 or pi.
Extended SphericalDistance(Extended a, Extended b, Extended c);

// The sine rule gives the angles below only up to a mirror: asin returns t in
// [-pi/2, pi/2], while the true angle may be pi - t. A right angle sits where
// the compared side equals RightAngleSide (Napier's rule for the right
// triangle: tan u = tan thetaR / cos angle); beyond that side the angle is
// obtuse. An asin argument past 1 (rounding near a right angle) gives the
// right angle itself.

// The bearing at R of T, in [0, 2 pi): from sin(angle R) = sin thetaT sin deltaPhi / sin d.
// The direction of a control-point pair. Coincident points (sin d = 0) give
// the right angle on the side of deltaPhi.
Extended PairAngle(Extended thetaT, Extended d, Extended thetaR, Extended deltaPhi);
// The same bearing in (-pi, pi], signed like deltaPhi: where a point lies
// seen from the master's CP1. A point on R itself has bearing 0.
Extended PointBearing(Extended thetaT, Extended d, Extended thetaR, Extended deltaPhi);
// The reverse step: the meridian difference at P of the point T at distance d
// and bearing beta from R (T's azimuth thetaT known), in (-pi, pi], from
// sin(angle P) = sin d sin beta / sin thetaT; the mirror is told by comparing
// d with the distance at which the angle at P is right.
Extended MeridianOffset(Extended d, Extended thetaT, Extended thetaR, Extended beta);

// The tangent frame at a direction, in (forward, left, up) co-ordinates: the
// unit direction c itself, the unit tangent n towards the zenith (bearing 0)
// and w towards growing meridian (bearing +pi/2). A point at distance d and
// bearing b from c is cos d c + sin d (cos b n + sin b w): the vector form of
// the triangle above, which the fast renderers use.
struct TangentFrame {
    double c[3], n[3], w[3];
};
TangentFrame FrameAt(double azimuth, double meridian);

}  // namespace vantrel
