#include "lens/distortion.h"

#include <algorithm>
#include <cmath>
#include <climits>
#include <cstdint>
#include <cstring>
#include <vector>

#include "imaging/draw.h"
#include "imaging/luminance.h"
#include "util/cpu.h"
#include "util/parallel.h"

namespace vantrel {

namespace {

// The model in double precision, shared by every pixel loop.
struct Factors {
    double a, b, c, d, radius;
    int cx, cy;

    explicit Factors(const LensModel& m)
        : a(static_cast<double>(m.CoeffA)), b(static_cast<double>(m.CoeffB)), c(static_cast<double>(m.CoeffC)),
          d(static_cast<double>(m.CoeffD)), radius(std::max(1, m.NormRadius)), cx(m.CentreX), cy(m.CentreY) {}

};

int Nearest(double v) {
    const double r = std::nearbyint(v);
    if (!(r > -2147483648.0)) return std::isnan(r) ? 0 : INT32_MIN;
    if (r >= 2147483647.0) return INT32_MAX;
    return static_cast<int>(r);
}

void CopyOrFill(const Bitmap& source, int sx, int sy, std::uint8_t fill, std::uint8_t* out) {
    if (sx >= 0 && sy >= 0 && sx < source.width() && sy < source.height()) {
        std::memcpy(out, source.row(sy) + static_cast<std::size_t>(sx) * 3, 3);
    } else {
        out[0] = out[1] = out[2] = fill;
    }
}

// k for a row of offsets: a plain loop the vectoriser handles.
[[gnu::always_inline]] inline void RowFactorsBody(const Factors& f, const double* dxs, double dy, int count, double* ks) {
    const double a = f.a, b = f.b, c = f.c, d = f.d, radius = f.radius;
    const double ay = std::fabs(dy);
    for (int x = 0; x < count; ++x) {
        const double ax = std::fabs(dxs[x]);
        const double larger = std::max(ax, ay), smaller = std::min(ax, ay);
        const double ratio = smaller / (larger == 0 ? 1.0 : larger);
        const double r = larger * std::sqrt(1 + ratio * ratio) / radius;
        double t = a * (r * r * r * r);
        t = b * (r * r * r) + t;
        t = c * (r * r) + t;
        const double p = t + d * r;
        const double q = p / (r == 0 ? 1.0 : r);
        ks[x] = r == 0 ? 1.0 : q;
    }
}
VANTREL_DISPATCH_AVX512(RowFactors, (const Factors& f, const double* dxs, double dy, int count, double* ks),
                        (f, dxs, dy, count, ks))

// A whole source position as an index; anything beyond the int range (or
// not a number) is outside: -1.
inline int SourceIndex(double v) { return v >= -1 && v <= 2147483646.0 ? static_cast<int>(v) : -1; }

// Source columns and rows of one output row.
[[gnu::always_inline]] inline void RowSourcesBody(const double* dxs, const double* ks, double dy, int cx, int cy,
                                                  int count, int* sxs, int* sys) {
    for (int x = 0; x < count; ++x) {
        sxs[x] = SourceIndex(std::nearbyint(dxs[x] * ks[x]) + cx);
        sys[x] = SourceIndex(std::nearbyint(dy * ks[x]) + cy);
    }
}
VANTREL_DISPATCH_AVX512(RowSources,
                        (const double* dxs, const double* ks, double dy, int cx, int cy, int count, int* sxs, int* sys),
                        (dxs, ks, dy, cx, cy, count, sxs, sys))

}  // namespace

void LensModel::MeasureImage(const Bitmap& source) {
    FillLevel = ComputeFillLevel(source);
    NormRadius = ComputeNormRadius(source);
    CentreX = source.width() / 2;
    CentreY = source.height() / 2;
}

int ComputeNormRadius(const Bitmap& bitmap) {
    return bitmap.width() >= bitmap.height() ? bitmap.height() / 2 : bitmap.width() / 2;
}

int ComputeFillLevel(const Bitmap& bitmap) { return MeanLightness(bitmap); }

void MapOutputToSource(const LensModel& model, int dx, int dy, int& sx, int& sy) {
    const Factors f(model);
    const double offset = dx;
    double k;
    RowFactors(f, &offset, dy, 1, &k);
    sx = static_cast<int>(std::clamp<long long>(static_cast<long long>(Nearest(dx * k)) + f.cx, INT32_MIN, INT32_MAX));
    sy = static_cast<int>(std::clamp<long long>(static_cast<long long>(Nearest(dy * k)) + f.cy, INT32_MIN, INT32_MAX));
}

namespace {

// k for every column of a row. The offsets are odd about the centre column
// (nearest() rounds halves to even, symmetrically), so k is computed for the
// right half and mirrored.
void MirroredRowFactors(const Factors& f, const std::vector<double>& dxs, double dy, double* ks) {
    const int w = static_cast<int>(dxs.size()), cx = std::clamp(f.cx, 0, w);
    RowFactors(f, dxs.data() + cx, dy, w - cx, ks + cx);
    for (int x = 0; x < cx; ++x) {
        const int mirror = 2 * cx - x;
        if (mirror < w)
            ks[x] = ks[mirror];
        else
            RowFactors(f, dxs.data() + x, dy, 1, ks + x);
    }
}

// Byte offsets of the source pixels, -1 outside the image: a plain loop the
// vectoriser handles.
[[gnu::always_inline]] inline void SourceOffsetsBody(const int* sxs, const int* sys, int count, int width,
                                                     int height, std::int64_t stride, std::int64_t* offsets) {
    for (int x = 0; x < count; ++x) {
        const bool inside = static_cast<unsigned>(sxs[x]) < static_cast<unsigned>(width) &&
                            static_cast<unsigned>(sys[x]) < static_cast<unsigned>(height);
        offsets[x] = inside ? sys[x] * stride + sxs[x] * 3 : -1;
    }
}
VANTREL_DISPATCH_AVX512(SourceOffsets,
                        (const int* sxs, const int* sys, int count, int width, int height, std::int64_t stride,
                         std::int64_t* offsets),
                        (sxs, sys, count, width, height, stride, offsets))

void CopyRow(const Bitmap& source, const std::int64_t* offsets, int count, std::uint8_t fill, std::uint8_t* out,
             std::int64_t ahead) {
    const std::uint8_t* base = source.bits();
    const std::uint32_t grey = fill * 0x010101u;
    for (int x = 0; x < count; ++x, out += 3) {
        // The next row of this thread reads just beside this one: fetch ahead.
        if (x % 16 == 0 && offsets[x] >= 0) __builtin_prefetch(base + offsets[x] + ahead);
        std::uint32_t pixel = grey;
        // Four bytes are read (bitmaps keep slack past their last row) and all
        // but the last pixel of the row written four at a time.
        if (offsets[x] >= 0) std::memcpy(&pixel, base + offsets[x], 4);
        std::memcpy(out, &pixel, x + 1 < count ? 4 : 3);
    }
}

// A deep picture's row, a whole pixel of its depth at a time.
void CopyDeepRow(const Bitmap& source, const int* sxs, const int* sys, int count, const std::uint8_t* grey,
                 std::uint8_t* out) {
    const std::size_t px = static_cast<std::size_t>(source.pixelBytes());
    for (int x = 0; x < count; ++x, out += px) {
        const bool inside = static_cast<unsigned>(sxs[x]) < static_cast<unsigned>(source.width()) &&
                            static_cast<unsigned>(sys[x]) < static_cast<unsigned>(source.height());
        std::memcpy(out, inside ? source.row(sys[x]) + px * static_cast<std::size_t>(sxs[x]) : grey, px);
    }
}

}  // namespace

void CorrectFullImage(const LensModel& model, const Bitmap& source, Bitmap& destination) {
    const int w = destination.width(), h = destination.height();
    if (w <= 0 || h <= 0) return;
    const Factors f(model);
    const double scale = static_cast<double>(model.OverallScale);
    const std::uint8_t fill = static_cast<std::uint8_t>(std::clamp(model.FillLevel, 0, 255));
    std::vector<double> dxs(static_cast<std::size_t>(w));
    for (int x = 0; x < w; ++x) dxs[x] = std::nearbyint((x - f.cx) * scale);

    // Rows cy + i and cy - i have opposite offsets and share every k.
    const int cy = std::clamp(f.cy, 0, h - 1);
    const int pairs = std::max(h - cy, cy + 1);
    Bitmap grey(1, 1, source.depth());
    grey.fill(fill, fill, fill);
    ParallelFor(pairs, 16, [&](int i0, int i1) {
        std::vector<double> ks(static_cast<std::size_t>(w));
        std::vector<int> sxs(ks.size()), sys(ks.size());
        std::vector<std::int64_t> offsets(ks.size());
        for (int i = i0; i < i1; ++i) {
            bool factored = false;
            for (const int y : {cy + i, cy - i}) {
                if (y < 0 || y >= h || (i == 0 && y != cy)) continue;
                const double dy = std::nearbyint((y - f.cy) * scale);
                if (!factored) MirroredRowFactors(f, dxs, dy, ks.data());
                factored = true;
                RowSources(dxs.data(), ks.data(), dy, f.cx, f.cy, w, sxs.data(), sys.data());
                if (source.deep()) {
                    CopyDeepRow(source, sxs.data(), sys.data(), w, grey.row(0), destination.row(y));
                    continue;
                }
                SourceOffsets(sxs.data(), sys.data(), w, source.width(), source.height(),
                              static_cast<std::int64_t>(source.stride()), offsets.data());
                CopyRow(source, offsets.data(), w, fill, destination.row(y),
                        (y >= cy ? 2 : -2) * static_cast<std::int64_t>(source.stride()));
            }
        }
    });
}

void DrawViewGrid(Bitmap& bitmap) {
    const Rgb green{0, 128, 0};
    const int w = bitmap.width(), h = bitmap.height();
    for (int x = 0; x < w; ++x)
        if ((x - w / 2) % 50 == 0) DrawLine(bitmap, x, 0, x, h - 1, green);
    for (int y = 0; y < h; ++y)
        if ((y - h / 2) % 50 == 0) DrawLine(bitmap, 0, y, w - 1, y, green);
}

void RenderLensPreview(const LensModel& model, const Bitmap& source, const LensView& view, Bitmap& preview,
                       Bitmap& plain) {
    const int wv = preview.width(), hv = preview.height();
    if (wv <= 0 || hv <= 0) return;
    const Factors f(model);
    const double zs = view.zoom * static_cast<double>(model.OverallScale);
    const double offX = view.centreX - std::nearbyint(wv * zs / 2);
    const double offY = view.centreY - std::nearbyint(hv * zs / 2);
    const double theta = static_cast<double>(model.PreviewRotation);
    const double sinT = std::sin(theta), cosT = std::cos(theta);
    const bool rotate = model.PreviewRotation != 0;
    std::vector<double> dxs(static_cast<std::size_t>(wv));
    for (int x = 0; x < wv; ++x) dxs[x] = std::nearbyint(x * zs) + offX - f.cx;

    ParallelFor(hv, 8, [&](int y0, int y1) {
        std::vector<double> ks(static_cast<std::size_t>(wv));
        std::vector<int> sxs(ks.size()), sys(ks.size());
        for (int y = y0; y < y1; ++y) {
            const double dy = std::nearbyint(y * zs) + offY - f.cy;
            RowFactors(f, dxs.data(), dy, wv, ks.data());
            RowSources(dxs.data(), ks.data(), dy, f.cx, f.cy, wv, sxs.data(), sys.data());
            std::uint8_t* out = preview.row(y);
            for (int x = 0; x < wv; ++x, out += 3) {
                int sx = sxs[x], sy = sys[x];
                if (rotate) {
                    // About the image centre; a positive angle turns the picture anticlockwise.
                    // The offsets are rotated as they are, never after the clamp to
                    // "outside", which would turn back into a real pixel.
                    const double rx = std::nearbyint(dxs[x] * ks[x]), ry = std::nearbyint(dy * ks[x]);
                    sx = SourceIndex(std::nearbyint(rx * cosT + f.cx - ry * sinT));
                    sy = SourceIndex(std::nearbyint(rx * sinT + f.cy + ry * cosT));
                }
                CopyOrFill(source, sx, sy, 0, out);
            }
        }
    });

    // The outline of the corrected output image in the view.
    const double s = static_cast<double>(model.OverallScale);
    auto nearest = [](double v) { return static_cast<long long>(std::clamp(std::nearbyint(v), -1e6, 1e6)); };
    const long long ox = wv / 2 - nearest((view.centreX - f.cx) / (s * view.zoom));
    const long long oy = hv / 2 - nearest((view.centreY - f.cy) / (s * view.zoom));
    const int left = static_cast<int>(ox - nearest(f.cx / view.zoom)), right = static_cast<int>(ox + nearest(f.cx / view.zoom));
    const int top = static_cast<int>(oy - nearest(f.cy / view.zoom)), bottom = static_cast<int>(oy + nearest(f.cy / view.zoom));
    DrawOutline(preview, left, top, right, bottom, kGrey);
    if (view.grid) {
        plain = preview;
        DrawViewGrid(preview);
    }
    DrawFrame(preview, kBlack);
}

void DrawPanFrame(int dx, int dy, const Bitmap& stored, Bitmap& fresh, bool grid) {
    ShiftOntoBlack(dx, dy, stored, fresh);
    if (grid) DrawViewGrid(fresh);
    DrawFrame(fresh, kBlack);
}

}  // namespace vantrel
