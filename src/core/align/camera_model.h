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

// Great-circle distance from two azimuths and the meridian difference.
Extended SphericalDistance(Extended a, Extended b, Extended c);
// Angles of the triangle pole - reference R - target T (see the alignment).
Extended PairAngle(Extended thetaT, Extended d, Extended thetaR, Extended deltaPhi);
Extended PointBearing(Extended thetaT, Extended d, Extended thetaR, Extended deltaPhi);
Extended MeridianOffset(Extended d, Extended thetaT, Extended thetaR, Extended beta);

}  // namespace vantrel
