#include "align/mapping.h"

#include <algorithm>
#include <climits>
#include <numbers>
#include <cmath>
#include <vector>

#include "align/camera_model.h"
#include "imaging/draw.h"
#include "imaging/resample.h"
#include "util/cpu.h"
#include "util/error.h"
#include "util/parallel.h"
#include "util/vector_math.h"

namespace vantrel {

const Bitmap& AlignedSource::at(SampleDepth depth) const {
    if (deep && !deep->empty() && deep->depth() == depth) return *deep;
    if (image->depth() == depth) return *image;
    throw Error(std::string("The picture is not held at ") + DepthName(depth) + ".");
}

FromMasterCP1 RelativeToMasterCP1(const MasterGeometry& master, Extended azimuth, Extended meridian) {
    const Extended d = SphericalDistance(master.cp1Azimuth, azimuth, meridian - master.cp1Meridian);
    return {d, PointBearing(azimuth, d, master.cp1Azimuth, meridian - master.cp1Meridian)};
}

void SlotDirection(const TSlotAlignment& slot, const FromMasterCP1& point, Extended& azimuth, Extended& meridian) {
    const Extended d = point.distance * slot.Scale;
    const Extended beta = point.bearing - slot.Rotation;
    azimuth = SphericalDistance(d, slot.CP1Azimuth, beta);
    meridian = MeridianOffset(d, azimuth, slot.CP1Azimuth, beta) + slot.CP1Meridian;
}

SourcePosition MapToSource(const MasterGeometry& master, const AlignedSource& source, bool isMaster, double px,
                           double py, bool preview) {
    SourcePosition out;
    const TSlotAlignment& slot = *source.alignment;
    const double halfWidth = source.image->width() / 2.0, halfHeight = source.image->height() / 2.0;
    if (isMaster) {
        const bool spherical = master.spherical();
        out.x = px + (spherical ? (preview ? slot.ImageCenterX : halfWidth) : slot.CP1X);
        out.y = py + (spherical ? (preview ? slot.ImageCenterY : halfHeight) : slot.CP1Y);
        out.valid = true;
        return out;
    }
    if (!master.spherical()) {
        const double c = std::cos(slot.Rotation), s = std::sin(slot.Rotation);
        out.x = (px * c - py * s) * slot.Scale + slot.CP1X;
        out.y = (px * s + py * c) * slot.Scale + slot.CP1Y;
        if (preview) {
            out.x = std::nearbyint(out.x);
            out.y = std::nearbyint(out.y);
        }
        out.valid = true;
        return out;
    }
    const double f = master.focalLengthPx;
    Extended a, m;
    if (preview)
        PixelToSpherical(f, static_cast<int>(px), static_cast<int>(py), a, m);
    else
        PointToSpherical(f, px, py, a, m);
    Extended azimuth, meridian;
    SlotDirection(slot, RelativeToMasterCP1(master, a, m), azimuth, meridian);
    if (std::fabs(meridian) > std::numbers::pi_v<long double> / 2) return out;
    if (preview) {
        int x, y;
        SphericalToPixel(f, azimuth, meridian, x, y);
        out.x = static_cast<double>(x) + slot.ImageCenterX;
        out.y = static_cast<double>(y) + slot.ImageCenterY;
    } else {
        Extended x, y;
        if (!SphericalToPoint(f, azimuth, meridian, x, y)) return out;
        out.x = static_cast<double>(x) + halfWidth;
        out.y = static_cast<double>(y) + halfHeight;
    }
    out.valid = true;
    return out;
}

namespace {

using Frame = TangentFrame;

inline double Dot(const double* a, const double* b) { return a[0] * b[0] + a[1] * b[1] + a[2] * b[2]; }

// The same mapping as MapToSource's spherical chain, in vector form: the
// point's distance and bearing from the master's CP1 come from dot products,
// and the source direction is built in the tangent frame at the slot's CP1.
// One arc tangent per output pixel and one sine-cosine pair per scaled slot,
// instead of dozens of inverse trigonometric calls. It works a row at a time
// in plain loops the vectoriser handles, with the arc tangents, sines and
// cosines from the vector maths.
class SphericalMapper {
public:
    struct Slot {
        Frame frame;
        double cosR, sinR, scale;
        double centerX, centerY;
    };

    explicit SphericalMapper(const MasterGeometry& master)
        : f_(master.focalLengthPx), master_(FrameAt(master.cp1Azimuth, master.cp1Meridian)) {}

    static Slot SlotFor(const TSlotAlignment& s, double centerX, double centerY) {
        return {FrameAt(static_cast<double>(s.CP1Azimuth), static_cast<double>(s.CP1Meridian)),
                std::cos(s.Rotation), std::sin(s.Rotation), s.Scale, centerX, centerY};
    }

    // The master-side part of a row of output positions, shared by all
    // slots: each point's distance from the master's CP1 (cosine, sine and,
    // for scaled slots, the angle) and its bearing there (cosine, sine).
    // The distance's cosine and sine are both multiplied by the length of the
    // point's unnormalised ray: the angle and the projection only use their
    // ratio, so the ray is never normalised.
    struct Row {
        std::vector<double> cosD, sinD, d, cosB, sinB;
        std::vector<double> angle, cosScaled, sinScaled;  // a scaled slot's distances
        explicit Row(int n)
            : cosD(n), sinD(n), d(n), cosB(n), sinB(n), angle(n), cosScaled(n), sinScaled(n) {}
    };

    // The points (pxs[i], py) from the master's centre, n of them.
    void locate(const double* pxs, double py, int n, bool needAngle, Row& row) const {
        LocateRow(f_, master_, pxs, py, n, row.cosD.data(), row.sinD.data(), row.cosB.data(), row.sinB.data());
        if (needAngle) VectorAtan2(row.sinD.data(), row.cosD.data(), row.d.data(), n);
    }

    // Their source positions in slot s; -1 for a point behind its camera.
    void map(Row& row, const Slot& s, int n, double* xs, double* ys) const {
        const double* cd = row.cosD.data();
        const double* sd = row.sinD.data();
        if (s.scale != 1) {
            for (int i = 0; i < n; ++i) row.angle[i] = row.d[i] * s.scale;
            VectorSinCos(row.angle.data(), row.sinScaled.data(), row.cosScaled.data(), n);
            cd = row.cosScaled.data();
            sd = row.sinScaled.data();
        }
        MapRow(f_, s, cd, sd, row.cosB.data(), row.sinB.data(), n, xs, ys);
    }

private:
    [[gnu::always_inline]] static void LocateRowBody(double f, const Frame& frame, const double* px, double py, int n,
                                                     double* cosD, double* sinD, double* cosB, double* sinB) {
        const Frame m = frame;  // a local copy, so stores to the rows cannot be taken to change it
        for (int i = 0; i < n; ++i) {
            const double p[3] = {f, -px[i], -py};  // the ray, unnormalised
            cosD[i] = Dot(p, m.c);
            const double pn = Dot(p, m.n), pw = Dot(p, m.w);
            const double sd = std::sqrt(pn * pn + pw * pw);
            const bool off = sd > 0;
            const double inverse = 1 / (off ? sd : 1);  // no division by zero, so the loop vectorises
            sinD[i] = sd;
            cosB[i] = off ? pn * inverse : 1;
            sinB[i] = off ? pw * inverse : 0;
        }
    }

    VANTREL_TARGET_AVX2 static void LocateRowAvx2(double f, const Frame& frame, const double* px, double py, int n,
                                                  double* cosD, double* sinD, double* cosB, double* sinB) {
        LocateRowBody(f, frame, px, py, n, cosD, sinD, cosB, sinB);
    }
    static void LocateRow(double f, const Frame& frame, const double* px, double py, int n, double* cosD,
                          double* sinD, double* cosB, double* sinB) {
        if (UseAvx2()) return LocateRowAvx2(f, frame, px, py, n, cosD, sinD, cosB, sinB);
        LocateRowBody(f, frame, px, py, n, cosD, sinD, cosB, sinB);
    }

    // The point at distance d and bearing b (less the rotation) from the
    // slot's CP1, in its tangent frame, projected onto the image plane.
    [[gnu::always_inline]] static void MapRowBody(double f, const Slot& slot, const double* cosD, const double* sinD,
                                                  const double* cosB, const double* sinB, int n, double* xs,
                                                  double* ys) {
        const Slot s = slot;  // a local copy, so stores to the rows cannot be taken to change it
        for (int i = 0; i < n; ++i) {
            const double cb = cosB[i] * s.cosR + sinB[i] * s.sinR;
            const double sb = sinB[i] * s.cosR - cosB[i] * s.sinR;
            double t[3];
            for (int k = 0; k < 3; ++k)
                t[k] = cosD[i] * s.frame.c[k] + sinD[i] * (cb * s.frame.n[k] + sb * s.frame.w[k]);
            const bool front = t[0] > 0;
            const double toPlane = -f / (front ? t[0] : 1);
            xs[i] = front ? toPlane * t[1] + s.centerX : -1;
            ys[i] = front ? toPlane * t[2] + s.centerY : -1;
        }
    }
    VANTREL_TARGET_AVX2 static void MapRowAvx2(double f, const Slot& slot, const double* cosD, const double* sinD,
                                               const double* cosB, const double* sinB, int n, double* xs, double* ys) {
        MapRowBody(f, slot, cosD, sinD, cosB, sinB, n, xs, ys);
    }
    static void MapRow(double f, const Slot& slot, const double* cosD, const double* sinD, const double* cosB,
                       const double* sinB, int n, double* xs, double* ys) {
        if (UseAvx2()) return MapRowAvx2(f, slot, cosD, sinD, cosB, sinB, n, xs, ys);
        MapRowBody(f, slot, cosD, sinD, cosB, sinB, n, xs, ys);
    }

    double f_;
    Frame master_;
};

// ceil(v x factor) clamped, per byte value: the preview's display brightness.
std::array<std::uint8_t, 256> BrightnessLevels(int brightness) {
    const Extended factor = BrightnessFactor(brightness);
    std::array<std::uint8_t, 256> table{};
    for (int v = 0; v < 256; ++v)
        table[v] = static_cast<std::uint8_t>(std::clamp<Extended>(std::ceil(v * factor), 0, 255));
    return table;
}

// The preview's source pixels of a row of the flat model.
[[gnu::always_inline]] inline void PlanarPreviewRowBody(const double* pxs, double py, int count, double cosR,
                                                        double sinR, double scale, double cp1X, double cp1Y,
                                                        double* xs, double* ys) {
    for (int x = 0; x < count; ++x) {
        xs[x] = std::nearbyint((pxs[x] * cosR - py * sinR) * scale + cp1X);
        ys[x] = std::nearbyint((pxs[x] * sinR + py * cosR) * scale + cp1Y);
    }
}
VANTREL_DISPATCH_AVX2(PlanarPreviewRow,
                      (const double* pxs, double py, int count, double cosR, double sinR, double scale, double cp1X,
                       double cp1Y, double* xs, double* ys),
                      (pxs, py, count, cosR, sinR, scale, cp1X, cp1Y, xs, ys))

// Positions rounded to whole source pixels, first clamped to the int range.
[[gnu::always_inline]] inline void RoundPositionsBody(double* xs, double* ys, int count) {
    for (int x = 0; x < count; ++x) {
        xs[x] = std::nearbyint(std::clamp(xs[x], -2147483647.0, 2147483647.0));
        ys[x] = std::nearbyint(std::clamp(ys[x], -2147483647.0, 2147483647.0));
    }
}
VANTREL_DISPATCH_AVX2(RoundPositions, (double* xs, double* ys, int count), (xs, ys, count))

// A full-size position snapped to 0.00001 px: k / 100000 for the nearest
// integer k (after clamping to the 32-bit range). Fused, the same quotient
// without a division: the product with the rounded reciprocal is within an
// ulp, and one fused correction makes it the correctly rounded k / 100000
// (Markstein).
constexpr double kSnapLimit = 2147483647.0;
template <bool kFused, bool kClamp = true>
[[gnu::always_inline]] inline double Snapped(double v) {
    constexpr double kSteps = 100000, kInverse = 1.0 / 100000;
    if constexpr (kClamp) v = std::clamp(v, -kSnapLimit, kSnapLimit);
    const double k = std::nearbyint(v * kSteps);
    if constexpr (kFused) {
        const double q = k * kInverse;
        return std::fma(std::fma(-q, kSteps, k), kInverse, q);
    } else {
        return k / kSteps;
    }
}

// Every step of the straight lines below is monotonic in the column, so a
// line whose ends lie within the clamp lies within it throughout.
inline bool WithinSnapLimit(double a, double b, double c, double d) {
    auto within = [](double v) { return std::fabs(v) <= kSnapLimit; };  // false for NaN
    return within(a) && within(b) && within(c) && within(d);
}

// Defines `name` to run `name##Body<true>` (fused snapping) compiled for
// AVX2 where the active level allows, else `name##Body<false>`; each body is
// a plain loop the vectoriser handles.
#define VANTREL_DISPATCH_SNAPPING(name, params, args)                       \
    VANTREL_TARGET_AVX2 void name##Fused params { name##Body<true> args; } \
    void name params {                                                      \
        if (UseAvx2()) return name##Fused args;                             \
        name##Body<false> args;                                             \
    }

template <bool kFused>
[[gnu::always_inline]] inline void SnapRowBody(double* xs, double* ys, int count) {
    for (int x = 0; x < count; ++x) {
        xs[x] = Snapped<kFused>(xs[x]);
        ys[x] = Snapped<kFused>(ys[x]);
    }
}
VANTREL_DISPATCH_SNAPPING(SnapRow, (double* xs, double* ys, int count), (xs, ys, count))

// Where column x of the flat model samples, before snapping.
struct PlanarRowGeometry {
    double px0, step, py, cosR, sinR, scale, cp1X, cp1Y;
    [[gnu::always_inline]] double x(int column) const {
        const double px = px0 + column * step;
        return (px * cosR - py * sinR) * scale + cp1X + 0.5;
    }
    [[gnu::always_inline]] double y(int column) const {
        const double px = px0 + column * step;
        return (px * sinR + py * cosR) * scale + cp1Y + 0.5;
    }
};

template <bool kFused, bool kClamp>
[[gnu::always_inline]] inline void PlanarRowColumns(const PlanarRowGeometry& g, int from, int to, double* xs,
                                                    double* ys) {
    for (int x = from; x < to; ++x) {
        xs[x - from] = Snapped<kFused, kClamp>(g.x(x));
        ys[x - from] = Snapped<kFused, kClamp>(g.y(x));
    }
}

// Columns from .. to - 1 of an output row of the flat model, snapped, into
// xs[0] on.
template <bool kFused>
[[gnu::always_inline]] inline void PlanarRowBody(double px0, double step, double py, int from, int to, double cosR,
                                                 double sinR, double scale, double cp1X, double cp1Y, double* xs,
                                                 double* ys) {
    if (to <= from) return;
    // Locals, so stores to xs cannot be taken to change them.
    const PlanarRowGeometry g{px0, step, py, cosR, sinR, scale, cp1X, cp1Y};
    if (WithinSnapLimit(g.x(from), g.x(to - 1), g.y(from), g.y(to - 1)))
        PlanarRowColumns<kFused, false>(g, from, to, xs, ys);
    else
        PlanarRowColumns<kFused, true>(g, from, to, xs, ys);
}
VANTREL_DISPATCH_SNAPPING(PlanarRow,
                          (double px0, double step, double py, int from, int to, double cosR, double sinR,
                           double scale, double cp1X, double cp1Y, double* xs, double* ys),
                          (px0, step, py, from, to, cosR, sinR, scale, cp1X, cp1Y, xs, ys))

}  // namespace

void SnapPositions(double* xs, double* ys, int count) { SnapRow(xs, ys, count); }

void RenderPreview(const AlignedSources& sources, const MasterGeometry& master, const OutputViewState& view,
                   const Borders* borders, Bitmap& output, MarkPainter* marks) {
    struct Used {
        const TSlotAlignment* slot;
        const Bitmap* image;
        bool isMaster;
        std::array<std::uint8_t, 256> levels;
        SphericalMapper::Slot sphere;
        double cosR, sinR;
    };
    std::vector<Used> used;
    for (int n = 1; n <= static_cast<int>(std::min<std::size_t>(sources.size(), kMaxImages)); ++n) {
        const AlignedSource& source = sources[n - 1];
        if (!source.loaded()) continue;
        const TSlotAlignment& s = *source.alignment;
        used.push_back({&s, source.image, n == master.index, BrightnessLevels(source.brightness),
                        SphericalMapper::SlotFor(s, s.ImageCenterX, s.ImageCenterY), std::cos(s.Rotation),
                        std::sin(s.Rotation)});
    }
    if (used.empty() || output.empty()) return;
    const int count = static_cast<int>(used.size());
    const int w = output.width(), h = output.height();
    const double k = view.zoom;
    const double x0 = view.centerX - std::nearbyint(w * k / 2);
    const double y0 = view.centerY - std::nearbyint(h * k / 2);
    const bool spherical = master.spherical();
    const double refX = spherical ? master.centerX : master.cp1X;
    const double refY = spherical ? master.centerY : master.cp1Y;
    const SphericalMapper mapper(master);
    bool anyScaled = false;
    for (const Used& u : used) anyScaled |= u.slot->Scale != 1 && !u.isMaster;

    std::array<std::uint8_t, 256 * kMaxImages> average;  // a sum of levels to its mean
    for (std::size_t sum = 0; sum < average.size(); ++sum)
        average[sum] = static_cast<std::uint8_t>(std::min<std::size_t>(sum / count, 255));
    constexpr int kReadAhead = 16;  // pixels; enough to cover a miss to memory
    std::vector<double> columns(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x) columns[x] = std::nearbyint(x * k) + x0 - refX;

    ParallelFor(h, 8, [&](int y0Row, int y1Row) {
        // Each slot's source pixel along the row, worked out a row at a time.
        SphericalMapper::Row points(spherical ? w : 0);
        std::vector<std::vector<double>> xs(used.size()), ys(used.size());
        std::vector<std::ptrdiff_t> offsets(static_cast<std::size_t>(w));
        std::vector<int> sums(static_cast<std::size_t>(w) * 3);
        for (std::size_t n = 0; n < used.size(); ++n) {
            xs[n].resize(static_cast<std::size_t>(w));
            ys[n].resize(static_cast<std::size_t>(w));
        }
        for (int y = y0Row; y < y1Row; ++y) {
            const double py = std::nearbyint(y * k) + y0 - refY;
            if (spherical) mapper.locate(columns.data(), py, w, anyScaled, points);
            for (std::size_t n = 0; n < used.size(); ++n) {
                const Used& u = used[n];
                const TSlotAlignment& s = *u.slot;
                double* sx = xs[n].data();
                double* sy = ys[n].data();
                if (u.isMaster) {
                    const double cx = spherical ? s.ImageCenterX : s.CP1X, cy = spherical ? s.ImageCenterY : s.CP1Y;
                    for (int x = 0; x < w; ++x) {
                        sx[x] = columns[x] + cx;
                        sy[x] = py + cy;
                    }
                } else if (!spherical) {
                    PlanarPreviewRow(columns.data(), py, w, u.cosR, u.sinR, s.Scale, s.CP1X, s.CP1Y, sx, sy);
                } else {
                    mapper.map(points, u.sphere, w, sx, sy);  // -1 behind the camera falls outside below
                    RoundPositions(sx, sy, w);
                }
            }
            // The reads are scattered over large images, so each slot's row
            // is summed in one pass that asks for its pixels a little ahead.
            std::fill(sums.begin(), sums.end(), 0);
            for (std::size_t n = 0; n < used.size(); ++n) {
                const Bitmap& image = *used[n].image;
                const double maxX = image.width() - 1, maxY = image.height() - 1;
                const double* sx = xs[n].data();
                const double* sy = ys[n].data();
                for (int x = 0; x < w; ++x)
                    offsets[x] = sx[x] >= 0 && sx[x] <= maxX && sy[x] >= 0 && sy[x] <= maxY
                                     ? static_cast<std::ptrdiff_t>(static_cast<std::size_t>(sy[x]) * image.stride() +
                                                                   static_cast<std::size_t>(sx[x]) * 3)
                                     : -1;
                const std::uint8_t* base = image.row(0);
                const auto& levels = used[n].levels;
                for (int x = 0; x < std::min(w, kReadAhead); ++x)
                    if (offsets[x] >= 0) __builtin_prefetch(base + offsets[x]);
                for (int x = 0; x < w; ++x) {
                    if (x + kReadAhead < w && offsets[x + kReadAhead] >= 0)
                        __builtin_prefetch(base + offsets[x + kReadAhead]);
                    if (offsets[x] < 0) continue;
                    const std::uint8_t* p = base + offsets[x];
                    int* sum = &sums[static_cast<std::size_t>(x) * 3];
                    for (int c = 0; c < 3; ++c) sum[c] += levels[p[c]];
                }
            }
            std::uint8_t* out = output.row(y);
            for (int i = 0; i < 3 * w; ++i) out[i] = average[static_cast<std::size_t>(sums[i])];
        }
    });

    if (master.index >= 1 && master.index <= 3 && marks) {
        marks->drawMark(output, ViewPosition(master.cp1X, master.cp1Y, view.centerX, view.centerY, k, w, h), kCP1Colour);
        marks->drawMark(output, ViewPosition(master.cp2X, master.cp2Y, view.centerX, view.centerY, k, w, h), kCP2Colour);
    }
    // The frame of the saved output.
    auto scaled = [&](double v) { return RoundToInt(v / k); };
    long long top = h / 2 - static_cast<long long>(scaled(view.centerY));
    long long bottom = h / 2 + static_cast<long long>(scaled(static_cast<double>(master.height) - view.centerY));
    long long left = w / 2 - static_cast<long long>(scaled(view.centerX));
    long long right = w / 2 + static_cast<long long>(scaled(static_cast<double>(master.width) - view.centerX));
    if (borders) {
        top -= scaled(borders->top);
        bottom += scaled(borders->bottom);
        left -= scaled(borders->left);
        right += scaled(borders->right);
    }
    auto clampCoord = [](long long v) { return static_cast<int>(std::clamp<long long>(v, -1000000, 1000000)); };
    const int l = clampCoord(left), t = clampCoord(top), r = clampCoord(right), b = clampCoord(bottom);
    DrawOutline(output, l, t, r, b, kGrey);
    DrawFrame(output, kBlack);
}

namespace {

constexpr int kChunk = 256;  // columns a pass, so the passes stay in the cache

// Exact positions of the given columns, a chunk at a time.
void ExactPositions(const SphericalMapper& mapper, const SphericalMapper::Slot& sphere, bool scaled, const double* columns,
                    double py, int count, SphericalMapper::Row& points, double* xs, double* ys) {
    for (int x = 0; x < count; x += kChunk) {
        const int n = std::min(kChunk, count - x);
        mapper.locate(columns + x, py, n, scaled, points);
        mapper.map(points, sphere, n, xs + x, ys + x);
    }
}

// The spherical positions of a row change smoothly along it: worked out
// exactly every kStep columns and joined by straight lines, wherever a
// span's middle shows the straight line within kTolerance of the exact one
// (for a curve that bends evenly the middle is where it is furthest away);
// elsewhere, at a camera's horizon for instance, exactly. The positions
// stay far within 1/64 px of the exact ones.
constexpr int kStep = 16;
static_assert((kStep & (kStep - 1)) == 0);
constexpr auto kFractions = [] {
    std::array<double, kStep + 1> f{};
    for (int t = 0; t <= kStep; ++t) f[t] = static_cast<double>(t) / kStep;
    return f;
}();
constexpr double kTolerance = 1.0 / 512;

// Whether the line from a to b passes within kTolerance of its middle m, all
// three in front of the camera (-1 marks one behind it).
inline bool Straight(double a, double m, double b) {
    auto usable = [](double v) { return std::isfinite(v) && v > -0.5; };
    return usable(a) && usable(m) && usable(b) && std::fabs((a + b) / 2 - m) <= kTolerance;
}

// A row's nodes: its columns at every kStep-th column and the last, and
// their positions.
struct SpanNodes {
    std::vector<double> columns, xs, ys;
};

void SphericalNodes(const SphericalMapper& mapper, const SphericalMapper::Slot& sphere, bool scaled,
                    const std::vector<double>& columns, double py, SphericalMapper::Row& points, SpanNodes& nodes) {
    const int w = static_cast<int>(columns.size());
    if (w < 4 * kStep) return;  // worked out exactly
    const int count = (w - 1) / kStep + 1 + ((w - 1) % kStep != 0);
    nodes.columns.resize(static_cast<std::size_t>(count));
    nodes.xs.resize(nodes.columns.size());
    nodes.ys.resize(nodes.columns.size());
    for (int k = 0; k < count; ++k) nodes.columns[k] = columns[std::min(k * kStep, w - 1)];
    ExactPositions(mapper, sphere, scaled, nodes.columns.data(), py, count, points, nodes.xs.data(), nodes.ys.data());
    // Snapped, so that the lines between them are the same on every
    // instruction set without snapping each of their points.
    SnapRow(nodes.xs.data(), nodes.ys.data(), count);
}

// The positions on a straight line from node 0 to node 1, kStep + 1 of
// them. d * (t / kStep) is d * t / kStep to the bit (a power-of-two
// divisor), and the loop vectorises.
[[gnu::always_inline]] inline void JoinNodes(double x0, double x1, double y0, double y1, double* xs, double* ys) {
    const double dx = x1 - x0, dy = y1 - y0;
    for (int t = 0; t <= kStep; ++t) {
        xs[t] = x0 + dx * kFractions[t];
        ys[t] = y0 + dy * kFractions[t];
    }
}

// The positions of columns from .. to - 1 of a row whose nodes are worked
// out, into xs[0] on: snapped where worked out exactly, else on the lines
// between snapped nodes; `from` is a multiple of 2 kStep. Up to one more
// position, the next column's, may be written.
template <bool kFused>
[[gnu::always_inline]] inline void SphericalSpansBody(const SphericalMapper& mapper, const SphericalMapper::Slot& sphere,
                                                      bool scaled, const std::vector<double>& columns, double py,
                                                      SphericalMapper::Row& points, const SpanNodes& nodes, int from,
                                                      int to, double* xs, double* ys) {
    const int w = static_cast<int>(columns.size());
    if (w < 4 * kStep) {
        ExactPositions(mapper, sphere, scaled, columns.data() + from, py, to - from, points, xs, ys);
        return SnapRowBody<kFused>(xs, ys, to - from);
    }
    const int count = static_cast<int>(nodes.columns.size());
    // Spans of two node steps, judged by their middle node.
    for (int k = from / kStep; k < count - 1 && k * kStep < to; k += 2) {
        const int a = k * kStep, last = std::min(k + 2, count - 1), b = std::min(last * kStep, w - 1);
        const bool full = last == k + 2 && b == a + 2 * kStep;
        const bool straight = full && Straight(nodes.xs[k], nodes.xs[k + 1], nodes.xs[k + 2]) &&
                              Straight(nodes.ys[k], nodes.ys[k + 1], nodes.ys[k + 2]);
        if (!straight) {
            ExactPositions(mapper, sphere, scaled, columns.data() + a, py, b - a + 1, points, xs + (a - from),
                           ys + (a - from));
            SnapRowBody<kFused>(xs + (a - from), ys + (a - from), b - a + 1);
            continue;
        }
        for (int j = k; j < last; ++j)
            JoinNodes(nodes.xs[j], nodes.xs[j + 1], nodes.ys[j], nodes.ys[j + 1], xs + (j * kStep - from),
                      ys + (j * kStep - from));
    }
}
VANTREL_DISPATCH_SNAPPING(SphericalSpans,
                          (const SphericalMapper& mapper, const SphericalMapper::Slot& sphere, bool scaled,
                           const std::vector<double>& columns, double py, SphericalMapper::Row& points,
                           const SpanNodes& nodes, int from, int to, double* xs, double* ys),
                          (mapper, sphere, scaled, columns, py, points, nodes, from, to, xs, ys))

// The source positions of the output rows of one image, row by row.
class RowPositions {
public:
    RowPositions(const AlignedSource& source, bool isMaster, const MasterGeometry& master, const Borders& borders,
                 double step, int w)
        : slot_(*source.alignment), master_(master), borders_(borders), step_(step), w_(w), isMaster_(isMaster),
          spherical_(master.spherical()), cosR_(std::cos(slot_.Rotation)), sinR_(std::sin(slot_.Rotation)),
          mapper_(master),
          sphere_(SphericalMapper::SlotFor(slot_, source.image->width() / 2.0, source.image->height() / 2.0)),
          columns_(static_cast<std::size_t>(w)) {
        // Output columns from the master's centre, for the spherical model.
        for (int x = 0; x < w; ++x) columns_[x] = x * step - master.width / 2.0 - borders.left + 0.5;
    }

    // Scratch space for one thread.
    struct Scratch {
        explicit Scratch(bool spherical) : points(spherical ? kChunk : 0) {}
        SphericalMapper::Row points;
        SpanNodes nodes;  // the row's
        // The nodes of rows first, first + kStep and first + 2 kStep (first
        // a multiple of 2 kStep, -1 before any), and which of them lie on
        // straight lines down the frame.
        int first = -1;
        SpanNodes rows[3];
        std::vector<char> straight;
        SpanNodes bent;  // the row's nodes worked out exactly
    };
    Scratch scratch() const { return Scratch(spherical_ && !isMaster_); }

    // The work a row's chunks share: the spherical nodes.
    void begin(int y, Scratch& scratch) const {
        if (spherical_ && !isMaster_) rowNodes(y, scratch);
    }

    // The snapped positions of columns from .. to - 1 (at most kChunk, from a
    // multiple of kChunk) into xs[0] on, which has room for one more.
    void chunk(int y, Scratch& scratch, int from, int to, double* xs, double* ys) const {
        const double oy = y * step_;  // the output position of this row
        if (isMaster_) {
            for (int x = from; x < to; ++x) {
                xs[x - from] = x * step_ - borders_.left + 0.5;
                ys[x - from] = oy - borders_.top + 0.5;
            }
        } else if (!spherical_) {
            return PlanarRow(-(master_.cp1X + borders_.left), step_, oy - (master_.cp1Y + borders_.top), from, to,
                             cosR_, sinR_, slot_.Scale, slot_.CP1X, slot_.CP1Y, xs, ys);
        } else {
            SphericalSpans(mapper_, sphere_, slot_.Scale != 1, columns_, sphericalY(y), scratch.points, scratch.nodes,
                           from, to, xs, ys);
            return;
        }
        SnapRow(xs, ys, to - from);
    }

    void row(int y, Scratch& scratch, double* xs, double* ys) const {
        begin(y, scratch);
        for (int x = 0; x < w_; x += kChunk) chunk(y, scratch, x, std::min(w_, x + kChunk), xs + x, ys + x);
    }

private:
    double sphericalY(int y) const { return y * step_ - master_.height / 2.0 - borders_.top + 0.5; }

    // The nodes change smoothly down the frame too: each is worked out
    // exactly every kStep rows and joined down the frame by straight lines,
    // judged by the middle row of spans of two row steps as along a row.
    void rowNodes(int y, Scratch& s) const {
        const bool scaled = slot_.Scale != 1;
        if (w_ < 4 * kStep) return;  // rows worked out exactly
        constexpr int kSpan = 2 * kStep;
        const int first = y / kSpan * kSpan;
        if (s.first != first) {
            int r = 0;
            if (s.first >= 0 && s.first + kSpan == first) {  // the last span's last row is this one's first
                std::swap(s.rows[0], s.rows[2]);
                r = 1;
            }
            for (; r < 3; ++r)
                SphericalNodes(mapper_, sphere_, scaled, columns_, sphericalY(first + r * kStep), s.points, s.rows[r]);
            const SpanNodes(&g)[3] = s.rows;
            s.straight.resize(g[0].xs.size());
            for (std::size_t j = 0; j < s.straight.size(); ++j)
                s.straight[j] =
                    Straight(g[0].xs[j], g[1].xs[j], g[2].xs[j]) && Straight(g[0].ys[j], g[1].ys[j], g[2].ys[j]);
            s.nodes = g[0];
            s.first = first;
        }
        const int t = y - first;
        const SpanNodes &a = s.rows[t / kStep], &b = s.rows[t / kStep + 1];
        const double fraction = kFractions[t % kStep];  // 0 on the rows worked out, which they then give exactly
        const int count = static_cast<int>(s.nodes.xs.size());
        s.bent.columns.clear();
        for (int j = 0; j < count; ++j) {
            s.nodes.xs[j] = a.xs[j] + (b.xs[j] - a.xs[j]) * fraction;
            s.nodes.ys[j] = a.ys[j] + (b.ys[j] - a.ys[j]) * fraction;
            if (!s.straight[j]) s.bent.columns.push_back(s.nodes.columns[j]);
        }
        if (s.bent.columns.empty()) return;
        const int bent = static_cast<int>(s.bent.columns.size());
        s.bent.xs.resize(s.bent.columns.size());
        s.bent.ys.resize(s.bent.columns.size());
        ExactPositions(mapper_, sphere_, scaled, s.bent.columns.data(), sphericalY(y), bent, s.points,
                       s.bent.xs.data(), s.bent.ys.data());
        SnapRow(s.bent.xs.data(), s.bent.ys.data(), bent);
        for (int j = 0, k = 0; j < count; ++j)
            if (!s.straight[j]) {
                s.nodes.xs[j] = s.bent.xs[k];
                s.nodes.ys[j] = s.bent.ys[k++];
            }
    }

    const TSlotAlignment& slot_;
    const MasterGeometry& master_;
    Borders borders_;
    double step_;
    int w_;
    bool isMaster_, spherical_;
    double cosR_, sinR_;
    SphericalMapper mapper_;
    SphericalMapper::Slot sphere_;
    std::vector<double> columns_;
};

// Every output row's source positions at full size (step 1) or reduced,
// handed to `row` a chunk of columns at a time (so they are still in the
// cache), in parallel over rows.
void ForEachOutputRow(const AlignedSource& source, bool isMaster, const MasterGeometry& master, const Borders& borders,
                      double step, int w, int h, const std::function<void(int)>& progress,
                      const std::function<void(int y, int x, int count, const double* xs, const double* ys)>& row) {
    if (w <= 0 || h <= 0) return;
    const RowPositions positions(source, isMaster, master, borders, step, w);
    ParallelFor(
        h, std::max(1, h / 50),
        [&](int r0, int r1) {
            std::vector<double> xs(kChunk + 1), ys(xs.size());
            RowPositions::Scratch scratch = positions.scratch();
            for (int y = r0; y < r1; ++y) {
                positions.begin(y, scratch);
                for (int x = 0; x < w; x += kChunk) {
                    const int to = std::min(w, x + kChunk);
                    positions.chunk(y, scratch, x, to, xs.data(), ys.data());
                    row(y, x, to - x, xs.data(), ys.data());
                }
            }
        },
        [&](int done) {
            if (progress) progress(static_cast<int>(std::nearbyint(100.0 * done / h)));
        });
}

}  // namespace

void FullSizeRowPositions(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                          const Borders& borders, int y, int width, double* xs, double* ys) {
    const RowPositions positions(source, isMaster, master, borders, 1.0, width);
    RowPositions::Scratch scratch = positions.scratch();
    positions.row(y, scratch, xs, ys);
}

void WarpFullSize(const AlignedSource& source, bool isMaster, const MasterGeometry& master, const Borders& borders,
                  Bitmap& output, const std::function<void(int)>& progress, std::uint8_t* coverage) {
    WarpScaled(source, isMaster, master, borders, 1.0, output, progress, coverage);
}

namespace {

// The master at full size samples every pixel at its own centre, which is
// the pixel itself: its rows are copied, the borders filled.
void CopyMaster(const Bitmap& image, const Borders& borders, std::uint8_t grey, Bitmap& output,
                const std::function<void(int)>& progress, std::uint8_t* coverage, const RowSpans* covered) {
    const int w = output.width(), h = output.height();
    const std::size_t px = static_cast<std::size_t>(image.pixelBytes());
    // One grey pixel at the picture's depth, repeated over the borders.
    Bitmap greyPixel(1, 1, image.depth());
    greyPixel.fill(grey, grey, grey);
    auto fillGrey = [&](std::uint8_t* from, int pixels) {
        if (px == 3) return static_cast<void>(std::fill(from, from + 3 * static_cast<std::size_t>(pixels), grey));
        for (int i = 0; i < pixels; ++i) std::copy_n(greyPixel.row(0), px, from + i * px);
    };
    // Output columns [from, to) show source columns from - left on.
    const int from = std::clamp(borders.left, 0, w), to = std::clamp(borders.left + image.width(), from, w);
    ParallelFor(
        h, std::max(1, h / 50),
        [&](int r0, int r1) {
            // Each pixel sampled at its own centre, as the renders' rule has it.
            std::vector<double> xs, ys;
            if (coverage && covered && !covered->empty()) {
                xs.resize(static_cast<std::size_t>(std::max(0, to - from)));
                ys.resize(xs.size());
                for (int x = from; x < to; ++x) xs[static_cast<std::size_t>(x - from)] = x - borders.left + 0.5;
            }
            for (int y = r0; y < r1; ++y) {
                std::uint8_t* out = output.row(y);
                const int sy = y - borders.top;
                const bool inside = sy >= 0 && sy < image.height() && from < to;
                const int a = inside ? from : w, b = inside ? to : w;
                fillGrey(out, a);
                if (inside) std::copy_n(image.row(sy) + px * (a - borders.left), px * (b - a), out + px * a);
                fillGrey(out + px * b, w - b);
                if (coverage) {
                    std::uint8_t* c = coverage + static_cast<std::size_t>(y) * w;
                    std::fill(c, c + w, std::uint8_t{0});
                    std::fill(c + a, c + b, std::uint8_t{255});
                    if (!xs.empty() && inside && b > a) {
                        std::fill(ys.begin(), ys.end(), sy + 0.5);
                        RestrictCoverageRow(*covered, image.width(), image.height(), xs.data(), ys.data(), b - a, c + a);
                    }
                }
            }
        },
        [&](int done) {
            if (progress) progress(static_cast<int>(std::nearbyint(100.0 * done / h)));
        });
}

}  // namespace

void WarpScaled(const AlignedSource& source, bool isMaster, const MasterGeometry& master, const Borders& borders,
                double step, Bitmap& output, const std::function<void(int)>& progress, std::uint8_t* coverage) {
    // The picture at the output's depth: the deep samples for a deep frame,
    // the screen's for an 8-bit one (previews).
    const Bitmap& image = source.at(output.depth());
    output.setLinear(image.linear());
    const std::uint8_t grey = static_cast<std::uint8_t>(source.luminance & 0xFF);
    if (isMaster && step == 1) return CopyMaster(image, borders, grey, output, progress, coverage, source.covered);
    const int w = output.width();
    const std::size_t px = static_cast<std::size_t>(output.pixelBytes());
    ForEachOutputRow(source, isMaster, master, borders, step, w, output.height(), progress,
                     [&](int y, int x, int count, const double* xs, const double* ys) {
                         ResampleRow(image, xs, ys, count, grey, output.row(y) + px * x);
                         if (coverage) {
                             std::uint8_t* row = coverage + static_cast<std::size_t>(y) * w + x;
                             CoverageRow(image, xs, ys, count, row);
                             if (source.covered) RestrictCoverageRow(*source.covered, image.width(), image.height(), xs, ys, count, row);
                         }
                     });
}

void Coverage(const AlignedSource& source, bool isMaster, const MasterGeometry& master, std::uint8_t* coverage) {
    const int w = master.width;
    ForEachOutputRow(source, isMaster, master, Borders{}, 1.0, w, master.height, {},
                     [&](int y, int x, int count, const double* xs, const double* ys) {
                         std::uint8_t* row = coverage + static_cast<std::size_t>(y) * w + x;
                         CoverageRow(*source.image, xs, ys, count, row);
                         if (source.covered)
                             RestrictCoverageRow(*source.covered, source.image->width(), source.image->height(), xs, ys, count, row);
                     });
}

void RenderSavePreview(const AlignedSource& source, bool isMaster, const MasterGeometry& master,
                       const Borders& borders, Bitmap& target, const std::function<void(int)>& progress) {
    const auto [frameW, frameH] = OutputFrameSize(master, borders);
    // A frame borders have shrunk to nothing has nothing to show.
    if (frameW <= 0 || frameH <= 0 || target.empty() || !source.loaded()) return;
    double step = 1.1 * std::max(static_cast<double>(frameW) / target.width(),
                                 static_cast<double>(frameH) / target.height());
    double enlarge = 1;
    if (step < 1) {
        enlarge = step;
        step = 1;
    }
    const int workW = std::max(1, static_cast<int>(std::nearbyint(frameW / step)));
    const int workH = std::max(1, static_cast<int>(std::nearbyint(frameH / step)));
    Bitmap work(workW, workH);
    WarpScaled(source, isMaster, master, borders, step, work, progress);

    // Centre it: stretched (nearest pixel) when it was enlarged.
    const int outW = enlarge < 1 ? static_cast<int>(std::nearbyint(workW / enlarge)) : workW;
    const int outH = enlarge < 1 ? static_cast<int>(std::nearbyint(workH / enlarge)) : workH;
    const int left = enlarge < 1 ? static_cast<int>(std::nearbyint((target.width() - workW / enlarge) / 2))
                                 : (target.width() - workW) / 2;
    const int top = enlarge < 1 ? static_cast<int>(std::nearbyint((target.height() - workH / enlarge) / 2))
                                : (target.height() - workH) / 2;
    for (int y = std::max(0, top); y < std::min(target.height(), top + outH); ++y) {
        const int sy = std::min(workH - 1, static_cast<int>(static_cast<long long>(y - top) * workH / outH));
        std::uint8_t* dst = target.row(y);
        const std::uint8_t* src = work.row(sy);
        for (int x = std::max(0, left); x < std::min(target.width(), left + outW); ++x) {
            const int sx = std::min(workW - 1, static_cast<int>(static_cast<long long>(x - left) * workW / outW));
            std::copy_n(src + sx * 3, 3, dst + x * 3);
        }
    }
}

}  // namespace vantrel
