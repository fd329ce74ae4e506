#pragma once

#include <array>
#include <cmath>
#include <complex>
#include <vector>

namespace vantrel::autoalign {

// Pixel positions in index co-ordinates: pixel centres at whole numbers.
struct Point {
    double x = 0, y = 0;
};

using Matrix3 = std::array<std::array<double, 3>, 3>;

// How an image sits against the master: master pixel positions carried to
// the image's. Planar: a similarity q = a p + b (a complex number holds the
// rotation and scale). Spherical: both pictures are rectilinear projections
// with one focal length f (master pixels) about their true centres; the
// image's ray is R times the master's, once the master's angular distances
// from the pivot are scaled by `zoom` (how the control points scale on the
// sphere: about the master's first point).
struct Motion {
    bool spherical = false;
    std::complex<double> a{1, 0}, b{0, 0};
    double f = 0;
    Point masterCentre, imageCentre;  // (width - 1) / 2, (height - 1) / 2
    Matrix3 R{{{1, 0, 0}, {0, 1, 0}, {0, 0, 1}}};
    double zoom = 1;
    Point pivot;  // a master position

    // The image position of master position p; NaN behind the image's camera.
    Point map(Point p) const;
    // Rotation (radians) and scale the motion amounts to about the master's centre.
    double rotation() const;
    double scale() const;
};

// The motion that carries master positions through `first` and on through
// `then` (whose master is the first's image), and the motion back.
Motion Compose(const Motion& first, const Motion& then);
Motion Inverse(const Motion& m);

// The ray of a pixel offset (x right, y down) from a picture's centre, in
// (forward, left, up) co-ordinates, and back.
inline std::array<double, 3> Ray(double f, double dx, double dy) { return {f, -dx, -dy}; }
bool Project(double f, const std::array<double, 3>& ray, double& dx, double& dy);

// Weighted least-squares fits to point pairs (master p, image q); false when
// the pairs do not determine the motion. The spherical fit keeps f, the
// centres and the pivot of `like`, and its zoom unless `fitZoom`.
bool FitSimilarity(const std::vector<Point>& p, const std::vector<Point>& q, const std::vector<double>& w, Motion& out);
bool FitRotation(const std::vector<Point>& p, const std::vector<Point>& q, const std::vector<double>& w,
                 const Motion& like, Motion& out, bool fitZoom = false);

}  // namespace vantrel::autoalign
