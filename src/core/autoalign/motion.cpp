#include "autoalign/motion.h"

#include <limits>
#include <utility>

#include <opencv2/core.hpp>

namespace vantrel::autoalign {

namespace {

std::array<double, 3> Unit(const std::array<double, 3>& v) {
    const double n = std::sqrt(v[0] * v[0] + v[1] * v[1] + v[2] * v[2]);
    return {v[0] / n, v[1] / n, v[2] / n};
}

std::array<double, 3> Apply(const Matrix3& R, const std::array<double, 3>& v) {
    return {R[0][0] * v[0] + R[0][1] * v[1] + R[0][2] * v[2], R[1][0] * v[0] + R[1][1] * v[1] + R[1][2] * v[2],
            R[2][0] * v[0] + R[2][1] * v[1] + R[2][2] * v[2]};
}

}  // namespace

bool Project(double f, const std::array<double, 3>& ray, double& dx, double& dy) {
    if (!(ray[0] > 0)) return false;
    dx = -f * ray[1] / ray[0];
    dy = -f * ray[2] / ray[0];
    return true;
}

Point Motion::map(Point p) const {
    if (!spherical) {
        const std::complex<double> q = a * std::complex<double>(p.x, p.y) + b;
        return {q.real(), q.imag()};
    }
    const auto ray = Apply(R, Ray(f, p.x - masterCentre.x, p.y - masterCentre.y));
    double dx, dy;
    if (!Project(f, ray, dx, dy)) return {std::numeric_limits<double>::quiet_NaN(), std::numeric_limits<double>::quiet_NaN()};
    return {dx + imageCentre.x, dy + imageCentre.y};
}

double Motion::rotation() const {
    if (!spherical) return std::arg(a);
    // The roll: how the master's rightward direction turns about the optical axis.
    const auto right = Apply(R, {0, -1, 0});
    return std::atan2(-right[2], -right[1]);
}

Motion Compose(const Motion& first, const Motion& then) {
    Motion m = first;
    if (!first.spherical) {
        m.a = then.a * first.a;
        m.b = then.a * first.b + then.b;
        return m;
    }
    m.imageCentre = then.imageCentre;
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j)
            m.R[i][j] = then.R[i][0] * first.R[0][j] + then.R[i][1] * first.R[1][j] + then.R[i][2] * first.R[2][j];
    return m;
}

Motion Inverse(const Motion& m) {
    Motion back = m;
    if (!m.spherical) {
        back.a = 1.0 / m.a;
        back.b = -m.b / m.a;
        return back;
    }
    std::swap(back.masterCentre, back.imageCentre);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) back.R[i][j] = m.R[j][i];
    return back;
}

double Motion::scale() const { return spherical ? 1.0 : std::abs(a); }

bool FitSimilarity(const std::vector<Point>& p, const std::vector<Point>& q, const std::vector<double>& w, Motion& out) {
    using C = std::complex<double>;
    double total = 0;
    C pm = 0, qm = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        total += w[i];
        pm += w[i] * C(p[i].x, p[i].y);
        qm += w[i] * C(q[i].x, q[i].y);
    }
    if (!(total > 0)) return false;
    pm /= total;
    qm /= total;
    C cross = 0;
    double spread = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const C dp = C(p[i].x, p[i].y) - pm, dq = C(q[i].x, q[i].y) - qm;
        cross += w[i] * dq * std::conj(dp);
        spread += w[i] * std::norm(dp);
    }
    if (!(spread > 1e-9)) return false;
    out = Motion{};
    out.a = cross / spread;
    out.b = qm - out.a * pm;
    return std::isfinite(out.a.real()) && std::isfinite(out.a.imag());
}

bool FitRotation(const std::vector<Point>& p, const std::vector<Point>& q, const std::vector<double>& w,
                 const Motion& like, Motion& out) {
    // Kabsch on unit rays: the rotation that best carries the master's rays
    // onto the image's.
    cv::Matx33d H = cv::Matx33d::zeros();
    double total = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        const auto m = Unit(Ray(like.f, p[i].x - like.masterCentre.x, p[i].y - like.masterCentre.y));
        const auto n = Unit(Ray(like.f, q[i].x - like.imageCentre.x, q[i].y - like.imageCentre.y));
        for (int r = 0; r < 3; ++r)
            for (int c = 0; c < 3; ++c) H(r, c) += w[i] * m[r] * n[c];
        total += w[i];
    }
    if (!(total > 0)) return false;
    cv::Matx33d U, Vt;
    cv::Matx31d S;
    cv::SVD::compute(H, S, U, Vt);
    if (!(S(1) > 1e-12 * S(0))) return false;  // the rays span no plane: no rotation is fixed
    cv::Matx33d V = Vt.t();
    const double d = cv::determinant(V * U.t()) < 0 ? -1 : 1;
    const cv::Matx33d D(1, 0, 0, 0, 1, 0, 0, 0, d);
    const cv::Matx33d Rm = V * D * U.t();
    out = like;
    out.spherical = true;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 3; ++c) out.R[r][c] = Rm(r, c);
    return true;
}

}  // namespace vantrel::autoalign
