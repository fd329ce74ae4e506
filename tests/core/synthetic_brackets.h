#pragma once

// Brackets of known geometry made from one picture: each exposure shows the
// picture through a known motion, in linear light times a gain, re-encoded
// with noise and clipping, as a camera would.
#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <random>
#include <vector>

#include "autoalign/motion.h"
#include "imaging/bitmap.h"
#include "util/parallel.h"

namespace vantrel::test {

using autoalign::Motion;
using autoalign::Point;

// Where an exposure's pixel looks in the picture: its own position carried
// back through its motion, then into the picture's co-ordinates.
inline Point Unmap(const Motion& m, Point q) {
    if (!m.spherical) {
        const std::complex<double> p = (std::complex<double>(q.x, q.y) - m.b) / m.a;
        return {p.real(), p.imag()};
    }
    const std::array<double, 3> r = autoalign::Ray(m.f, q.x - m.imageCentre.x, q.y - m.imageCentre.y);
    std::array<double, 3> back{};
    for (int i = 0; i < 3; ++i) back[i] = m.R[0][i] * r[0] + m.R[1][i] * r[1] + m.R[2][i] * r[2];
    double dx, dy;
    if (!autoalign::Project(m.f, back, dx, dy)) return {-1e9, -1e9};
    return {dx + m.masterCentre.x, dy + m.masterCentre.y};
}

// A width x height exposure: pixel q shows picture(toPicture(q)) times gain
// in linear light (gamma 2.2), with Gaussian noise of `noise` levels; black
// where the picture ends. `light`, when given, scales the scene's linear
// light at each picture position (a scene of wider range than the picture).
inline Bitmap Exposure(const Bitmap& picture, int width, int height, const std::function<Point(Point)>& toPicture,
                       double gain, double noise, unsigned seed, const std::function<double(Point)>& light = {}) {
    std::array<double, 256> linear{};
    for (int v = 0; v < 256; ++v) linear[v] = std::pow(v / 255.0, 2.2);
    std::vector<std::uint8_t> encode(65536);
    for (int i = 0; i < 65536; ++i) encode[i] = static_cast<std::uint8_t>(std::lround(255 * std::pow(i / 65535.0, 1 / 2.2)));
    Bitmap out(width, height);
    ParallelFor(height, 16, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y) {
            std::mt19937 rng(seed * 7919u + static_cast<unsigned>(y));
            std::normal_distribution<double> n(0, noise);
            std::uint8_t* o = out.row(y);
            for (int x = 0; x < width; ++x, o += 3) {
                const Point p = toPicture({static_cast<double>(x), static_cast<double>(y)});
                if (!(p.x >= 0 && p.y >= 0 && p.x < picture.width() - 1 && p.y < picture.height() - 1)) continue;
                const int ix = static_cast<int>(p.x), iy = static_cast<int>(p.y);
                const double fx = p.x - ix, fy = p.y - iy;
                const double g = light ? gain * light(p) : gain;
                const std::uint8_t* a = picture.row(iy) + 3 * ix;
                const std::uint8_t* b = picture.row(iy + 1) + 3 * ix;
                for (int c = 0; c < 3; ++c) {
                    const double l = (1 - fy) * ((1 - fx) * linear[a[c]] + fx * linear[a[c + 3]]) +
                                     fy * ((1 - fx) * linear[b[c]] + fx * linear[b[c + 3]]);
                    const double v = encode[static_cast<std::size_t>(std::clamp(l * g, 0.0, 1.0) * 65535)] +
                                     (noise > 0 ? n(rng) : 0);
                    o[c] = static_cast<std::uint8_t>(std::clamp(std::nearbyint(v), 0.0, 255.0));
                }
            }
        }
    });
    return out;
}

// A motion about the centre of a w x h frame: turned, scaled, then shifted.
inline Motion SimilarityAbout(int w, int h, double degrees, double scale, double dx, double dy) {
    Motion m;
    m.a = std::polar(scale, degrees * 3.14159265358979323846 / 180);
    const std::complex<double> c((w - 1) / 2.0, (h - 1) / 2.0);
    m.b = c - m.a * c + std::complex<double>(dx, dy);
    return m;
}

// A camera turned by yaw (about the vertical), pitch and roll, radians, for
// pictures of w x h with the focal length of `fullDegrees` across the longer side.
inline Motion TurnedCamera(int w, int h, double fullDegrees, double yaw, double pitch, double roll) {
    Motion m;
    m.spherical = true;
    m.f = (std::max(w, h) / 2) / std::tan(fullDegrees * 3.14159265358979323846 / 360);
    m.masterCentre = m.imageCentre = {(w - 1) / 2.0, (h - 1) / 2.0};
    const double cy = std::cos(yaw), sy = std::sin(yaw), cp = std::cos(pitch), sp = std::sin(pitch);
    const double cr = std::cos(roll), sr = std::sin(roll);
    const double Y[3][3] = {{cy, -sy, 0}, {sy, cy, 0}, {0, 0, 1}};
    const double P[3][3] = {{cp, 0, -sp}, {0, 1, 0}, {sp, 0, cp}};
    const double Rr[3][3] = {{1, 0, 0}, {0, cr, -sr}, {0, sr, cr}};
    double T[3][3] = {};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            for (int k = 0; k < 3; ++k) T[i][j] += Y[i][k] * P[k][j];
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) {
            m.R[i][j] = 0;
            for (int k = 0; k < 3; ++k) m.R[i][j] += T[i][k] * Rr[k][j];
        }
    return m;
}

}  // namespace vantrel::test
