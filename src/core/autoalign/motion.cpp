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

double Dot(const std::array<double, 3>& a, const std::array<double, 3>& b) {
    return a[0] * b[0] + a[1] * b[1] + a[2] * b[2];
}

// Unit ray r seen from unit ray c: its direction on the sphere there (a
// unit tangent at c) times its angular distance.
std::array<double, 3> Towards(const std::array<double, 3>& c, const std::array<double, 3>& r) {
    const double cosD = Dot(c, r);
    const std::array<double, 3> t{r[0] - cosD * c[0], r[1] - cosD * c[1], r[2] - cosD * c[2]};
    const double sinD = std::sqrt(Dot(t, t));
    if (!(sinD > 1e-15)) return {0, 0, 0};
    const double k = std::atan2(sinD, cosD) / sinD;
    return {k * t[0], k * t[1], k * t[2]};
}

// The unit ray `zoom` times as far from c as unit ray r, the same way.
std::array<double, 3> ZoomedAbout(const std::array<double, 3>& c, const std::array<double, 3>& r, double zoom) {
    if (zoom == 1) return r;
    const std::array<double, 3> v = Towards(c, r);
    const double d = std::sqrt(Dot(v, v));
    if (!(d > 0)) return r;
    const double k = std::sin(zoom * d) / d, cosine = std::cos(zoom * d);
    return {cosine * c[0] + k * v[0], cosine * c[1] + k * v[1], cosine * c[2] + k * v[2]};
}

std::array<double, 3> MasterRay(const Motion& m, Point p) {
    return Unit(Ray(m.f, p.x - m.masterCentre.x, p.y - m.masterCentre.y));
}

Matrix3 Product(const Matrix3& a, const Matrix3& b) {
    Matrix3 out{};
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) out[i][j] = a[i][0] * b[0][j] + a[i][1] * b[1][j] + a[i][2] * b[2][j];
    return out;
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
    const auto ray = zoom == 1 ? Apply(R, Ray(f, p.x - masterCentre.x, p.y - masterCentre.y))
                               : Apply(R, ZoomedAbout(MasterRay(*this, pivot), MasterRay(*this, p), zoom));
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
    m.R = Product(then.R, first.R);
    m.zoom = first.zoom * then.zoom;
    // Exact when `then` zooms about where `first` carries its pivot (a
    // rotation keeps angular distances); otherwise the nearest such motion.
    const auto carried = Apply(first.R, MasterRay(first, first.pivot)), own = MasterRay(then, then.pivot);
    if (then.zoom == 1 || Dot(carried, own) > 1 - 1e-15) return m;
    std::vector<Point> p, q;
    for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 8; ++i) {
            const Point at{(i + 0.5) * (2 * first.masterCentre.x + 1) / 8, (j + 0.5) * (2 * first.masterCentre.y + 1) / 6};
            const Point to = then.map(first.map(at));
            if (std::isfinite(to.x) && std::isfinite(to.y)) p.push_back(at), q.push_back(to);
        }
    Motion fitted;
    return FitRotation(p, q, std::vector<double>(p.size(), 1.0), m, fitted, true) ? fitted : m;
}

Motion Inverse(const Motion& m) {
    Motion back = m;
    if (!m.spherical) {
        back.a = 1.0 / m.a;
        back.b = -m.b / m.a;
        return back;
    }
    // The image's pivot is where the master's lands.
    back.pivot = m.map(m.pivot);
    back.zoom = 1 / m.zoom;
    std::swap(back.masterCentre, back.imageCentre);
    for (int i = 0; i < 3; ++i)
        for (int j = 0; j < 3; ++j) back.R[i][j] = m.R[j][i];
    return back;
}

double Motion::scale() const { return spherical ? zoom : std::abs(a); }

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
                 const Motion& like, Motion& out, bool fitZoom) {
    using Ray3 = std::array<double, 3>;
    const Ray3 c = MasterRay(like, like.pivot);
    auto imageRay = [&](std::size_t i) { return Unit(Ray(like.f, q[i].x - like.imageCentre.x, q[i].y - like.imageCentre.y)); };
    double total = 0;
    for (const double weight : w) total += weight;
    if (!(total > 0)) return false;
    // Kabsch on unit rays: the rotation that best carries the master's rays,
    // zoomed about the pivot, onto the image's. The rays are made afresh
    // each time: cheaper than storing them for the two-pair fits, which are
    // the most.
    auto rotationFor = [&](double zoom, Matrix3& R) {
        cv::Matx33d H = cv::Matx33d::zeros();
        for (std::size_t i = 0; i < p.size(); ++i) {
            const Ray3 m = ZoomedAbout(c, MasterRay(like, p[i]), zoom), n = imageRay(i);
            for (int r = 0; r < 3; ++r)
                for (int k = 0; k < 3; ++k) H(r, k) += w[i] * m[r] * n[k];
        }
        cv::Matx33d U, Vt;
        cv::Matx31d S;
        cv::SVD::compute(H, S, U, Vt);
        if (!(S(1) > 1e-12 * S(0))) return false;  // the rays span no plane: no rotation is fixed
        const cv::Matx33d V = Vt.t();
        const double d = cv::determinant(V * U.t()) < 0 ? -1 : 1;
        const cv::Matx33d Rm = V * cv::Matx33d(1, 0, 0, 0, 1, 0, 0, 0, d) * U.t();
        for (int r = 0; r < 3; ++r)
            for (int k = 0; k < 3; ++k) R[r][k] = Rm(r, k);
        return true;
    };
    out = like;
    out.spherical = true;
    if (!rotationFor(out.zoom, out.R)) return false;
    if (!fitZoom) return true;
    // The zoom: each ray's distance from the pivot against its image's,
    // brought back by the rotation. Pairs all at the pivot cannot tell one.
    std::vector<Ray3> away(p.size());
    double spread = 0;
    for (std::size_t i = 0; i < p.size(); ++i) {
        away[i] = Towards(c, MasterRay(like, p[i]));
        spread += w[i] * Dot(away[i], away[i]);
    }
    if (!(spread > 1e-12 * total)) return true;
    // The zoom the pairs ask for under the rotation that fits `zoom` best:
    // the fixed point of that is the fit, found by secant steps.
    auto asked = [&](double zoom, double& next) {
        if (!rotationFor(zoom, out.R)) return false;
        double along = 0;
        for (std::size_t i = 0; i < p.size(); ++i) {
            const Ray3 n = imageRay(i);
            Ray3 back{};
            for (int r = 0; r < 3; ++r) back[r] = out.R[0][r] * n[0] + out.R[1][r] * n[1] + out.R[2][r] * n[2];
            along += w[i] * Dot(Towards(c, back), away[i]);
        }
        next = along / spread;
        return next > 0.2 && next < 5;
    };
    double z0 = out.zoom, g0 = 0, z1 = 0, g1 = 0;
    if (!asked(z0, g0)) return false;
    z1 = g0;
    for (int round = 0; round < 30; ++round) {
        if (!asked(z1, g1)) return false;
        const double step = g1 - z1, before = g0 - z0;
        if (std::abs(step) < 1e-12 || step == before) break;
        const double z2 = z1 - step * (z1 - z0) / (step - before);
        z0 = z1, g0 = g1, z1 = z2;
    }
    out.zoom = z1;
    return rotationFor(out.zoom, out.R);
}

}  // namespace vantrel::autoalign
