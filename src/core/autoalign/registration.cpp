#include "autoalign/registration.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <numbers>
#include <random>

#include <opencv2/calib3d.hpp>
#include <opencv2/features2d.hpp>
#include <opencv2/imgproc.hpp>
#include <opencv2/photo.hpp>

#include "imaging/depth.h"
#include "util/parallel.h"

namespace vantrel::autoalign {

namespace {

constexpr int kPatch = 64;              // phase-correlated windows, level pixels
constexpr double kMaxWorking = 3000;    // the finest level's longer side
constexpr double kMinResponse = 0.08;   // a phase-correlation peak below this is no match
constexpr double kMaxClipped = 0.02;    // share of clipped pixels a patch may have
constexpr int kMinMatches = 12;
constexpr double kPi = std::numbers::pi;

// ---- preparing ----

// Mean luma of each k x k block, and whether any pixel of it is clipped
// (any channel 250 or more, or all 5 or less). Luma is 29 B + 150 G + 77 R
// in 256ths, in whole numbers so the loops vectorise.
// A deep picture by the same rule, from its samples as the screen maps
// them but before they are rounded to 8 bits.
void DownscaleDeepLuma(const Bitmap& image, int k, cv::Mat& luma, cv::Mat& clipped) {
    const int w = std::max(1, image.width() / k), h = std::max(1, image.height() / k);
    const int width = image.width();
    ParallelFor(h, 16, [&](int r0, int r1) {
        std::vector<float> samples(static_cast<std::size_t>(width) * 3);
        std::vector<float> sum(static_cast<std::size_t>(w));
        std::vector<std::uint8_t> clip(sum.size());
        for (int y = r0; y < r1; ++y) {
            std::fill(sum.begin(), sum.end(), 0.0f);
            std::fill(clip.begin(), clip.end(), std::uint8_t{0});
            for (int dy = 0; dy < k; ++dy) {
                ScreenRow(image, std::min(image.height() - 1, y * k + dy), samples.data());
                for (int x = 0; x < w * k && x < width; ++x) {
                    const float* p = samples.data() + 3 * static_cast<std::size_t>(x);
                    sum[x / k] += 29 * p[0] + 150 * p[1] + 77 * p[2];
                    const float hi = std::max(std::max(p[0], p[1]), p[2]);
                    clip[x / k] |= static_cast<std::uint8_t>((hi >= 250) | (hi <= 5));
                }
            }
            float* out = luma.ptr<float>(y);
            std::uint8_t* mask = clipped.ptr<std::uint8_t>(y);
            const float norm = 1.0f / (256.0f * static_cast<float>(k * k));
            for (int x = 0; x < w; ++x) out[x] = sum[x] * norm, mask[x] = clip[x];
        }
    });
}

void DownscaleLuma(const Bitmap& image, int k, cv::Mat& luma, cv::Mat& clipped) {
    const int w = std::max(1, image.width() / k), h = std::max(1, image.height() / k);
    luma.create(h, w, CV_32F);
    clipped.create(h, w, CV_8U);
    if (image.deep()) return DownscaleDeepLuma(image, k, luma, clipped);
    const float norm = 1.0f / (256.0f * static_cast<float>(k * k));
    const int width = image.width();
    ParallelFor(h, 16, [&](int r0, int r1) {
        std::vector<std::uint32_t> rowLuma(static_cast<std::size_t>(width));
        std::vector<std::uint8_t> rowClip(rowLuma.size());
        std::vector<std::uint32_t> sum(static_cast<std::size_t>(w));
        std::vector<std::uint8_t> clip(sum.size());
        for (int y = r0; y < r1; ++y) {
            float* out = luma.ptr<float>(y);
            std::uint8_t* mask = clipped.ptr<std::uint8_t>(y);
            if (k == 2 && 2 * y + 1 < image.height()) {
                // The common case (pictures of 3000 to 6000 pixels) in one tight pass.
                const std::uint8_t* p = image.row(2 * y);
                const std::uint8_t* q = image.row(2 * y + 1);
                for (int x = 0; x < w; ++x, p += 6, q += 6) {
                    const std::uint32_t b = p[0] + p[3] + q[0] + q[3], g = p[1] + p[4] + q[1] + q[4];
                    const std::uint32_t r = p[2] + p[5] + q[2] + q[5];
                    out[x] = static_cast<float>(29 * b + 150 * g + 77 * r) * norm;
                    auto off = [](const std::uint8_t* c) {
                        const int hi = std::max(std::max(c[0], c[1]), c[2]);
                        return (hi >= 250) | (hi <= 5);
                    };
                    mask[x] = static_cast<std::uint8_t>(off(p) | off(p + 3) | off(q) | off(q + 3));
                }
                continue;
            }
            std::fill(sum.begin(), sum.end(), 0u);
            std::fill(clip.begin(), clip.end(), std::uint8_t{0});
            for (int dy = 0; dy < k; ++dy) {
                const std::uint8_t* p = image.row(std::min(image.height() - 1, y * k + dy));
                std::uint32_t* l = rowLuma.data();
                std::uint8_t* c = rowClip.data();
                for (int x = 0; x < width; ++x) {
                    const std::uint32_t b = p[3 * x], g = p[3 * x + 1], r = p[3 * x + 2];
                    l[x] = 29 * b + 150 * g + 77 * r;
                    const std::uint32_t hi = std::max(std::max(b, g), r);
                    c[x] = (hi >= 250) | (hi <= 5);
                }
                for (int x = 0; x < w; ++x)
                    for (int dx = 0; dx < k; ++dx) {
                        sum[x] += l[x * k + dx];
                        clip[x] |= c[x * k + dx];
                    }
            }
            for (int x = 0; x < w; ++x) out[x] = static_cast<float>(sum[x]) * norm, mask[x] = clip[x];
        }
    });
}

// Index position at a level of a full-size position, and back.
inline double ToLevel(double full, double scale) { return (full + 0.5) / scale - 0.5; }
inline double ToFull(double level, double scale) { return (level + 0.5) * scale - 0.5; }

inline bool Bilinear(const cv::Mat& m, double x, double y, double& v) {
    if (!(x >= 0 && y >= 0 && x <= m.cols - 1 && y <= m.rows - 1)) return false;
    const int ix = std::min(static_cast<int>(x), m.cols - 2 < 0 ? 0 : m.cols - 2);
    const int iy = std::min(static_cast<int>(y), m.rows - 2 < 0 ? 0 : m.rows - 2);
    const double fx = x - ix, fy = y - iy;
    const float* a = m.ptr<float>(iy);
    const float* b = m.ptr<float>(std::min(iy + 1, m.rows - 1));
    const int ix1 = std::min(ix + 1, m.cols - 1);
    v = (1 - fy) * ((1 - fx) * a[ix] + fx * a[ix1]) + fy * ((1 - fx) * b[ix] + fx * b[ix1]);
    return true;
}

// ---- patches ----

struct Candidate {
    Point centre;  // full-size master position
    double texture = 0;
};

// Well-textured, unclipped master windows spread over the frame: a grid of
// cells, the most textured window of each. `offset` shifts the grid by half
// a cell, for patches independent of the fitted ones. Windows that are mostly
// clipped in `image` at the same place (a much brighter exposure) are
// passed over: the motion is small against a cell.
std::vector<Candidate> Candidates(const Prepared& master, int level, bool offset, int cellsAcross,
                                  const Prepared* image = nullptr) {
    if (level >= master.levels()) return {};
    const cv::Mat& luma = master.luma(level);
    const cv::Mat& clip = master.clipped(level);
    const cv::Mat* other = image && level < image->levels() ? &image->clipped(level) : nullptr;
    const int w = luma.cols, h = luma.rows, half = kPatch / 2;
    if (w < kPatch + 4 || h < kPatch + 4) return {};
    const int cellsDown = std::max(2, cellsAcross * h / w);
    const double cw = static_cast<double>(w - kPatch - 2) / cellsAcross, ch = static_cast<double>(h - kPatch - 2) / cellsDown;
    const int cells = (cellsAcross - offset) * (cellsDown - offset);
    std::vector<Candidate> best(static_cast<std::size_t>(cells));
    ParallelFor(cells, 1, [&](int c0, int c1) {
        for (int c = c0; c < c1; ++c) {
            const int cx = c % (cellsAcross - offset), cy = c / (cellsAcross - offset);
            const double x0 = half + 1 + (cx + (offset ? 0.5 : 0)) * cw, y0 = half + 1 + (cy + (offset ? 0.5 : 0)) * ch;
            Candidate found;
            // A few window positions per cell; gradients on every second pixel.
            for (int sy = 0; sy < 3; ++sy)
                for (int sx = 0; sx < 3; ++sx) {
                    const int mx = static_cast<int>(x0 + (sx + 0.5) * cw / 3), my = static_cast<int>(y0 + (sy + 0.5) * ch / 3);
                    double gxx = 0, gyy = 0, gxy = 0;
                    int clipped = 0, clippedThere = 0, n = 0;
                    for (int y = my - half + 1; y < my + half - 1; y += 2) {
                        const float* r = luma.ptr<float>(y);
                        const float* up = luma.ptr<float>(y - 1);
                        const float* down = luma.ptr<float>(y + 1);
                        const std::uint8_t* k = clip.ptr<std::uint8_t>(y);
                        const std::uint8_t* t = other && y < other->rows ? other->ptr<std::uint8_t>(y) : nullptr;
                        for (int x = mx - half + 1; x < mx + half - 1; x += 2) {
                            const double gx = 0.5 * (r[x + 1] - r[x - 1]), gy = 0.5 * (down[x] - up[x]);
                            gxx += gx * gx, gyy += gy * gy, gxy += gx * gy;
                            clipped += k[x];
                            if (t && x < other->cols) clippedThere += t[x];
                            ++n;
                        }
                    }
                    if (clipped > kMaxClipped * n || clippedThere > 0.4 * n) continue;
                    gxx /= n, gyy /= n, gxy /= n;
                    const double smallest = 0.5 * (gxx + gyy) - std::sqrt(0.25 * (gxx - gyy) * (gxx - gyy) + gxy * gxy);
                    if (smallest > found.texture) {
                        found.texture = smallest;
                        found.centre = {ToFull(mx - 0.5, master.scale(level)), ToFull(my - 0.5, master.scale(level))};
                    }
                }
            best[static_cast<std::size_t>(c)] = found;
        }
    });
    // Flat cells (sky, walls) give no position.
    std::vector<double> textures;
    for (const auto& c : best)
        if (c.texture > 0) textures.push_back(c.texture);
    if (textures.empty()) return {};
    std::nth_element(textures.begin(), textures.begin() + static_cast<long>(textures.size() * 3 / 4), textures.end());
    const double floor = std::max(0.05, 0.03 * textures[textures.size() * 3 / 4]);
    std::vector<Candidate> kept;
    for (const auto& c : best)
        if (c.texture >= floor) kept.push_back(c);
    return kept;
}

struct Measured {
    Point master, image;
    double shift = 0;  // level pixels
    double response = 0;
    bool inside = false;
};

// Refines a small shift s, where b(x) = alpha a(x - s) + beta, by weighted
// least squares on the linearised patches (a Lucas-Kanade step with gain
// and offset): far more precise than the correlation peak's centroid.
bool RefineShift(const cv::Mat& a, const cv::Mat& b, const cv::Mat& weight, cv::Point2d& s) {
    cv::Matx44d normal = cv::Matx44d::zeros();
    cv::Vec4d right = cv::Vec4d::all(0);
    for (int y = 1; y < kPatch - 1; ++y) {
        const double* ra = a.ptr<double>(y);
        const double* up = a.ptr<double>(y - 1);
        const double* down = a.ptr<double>(y + 1);
        const double* rb = b.ptr<double>(y);
        const double* rw = weight.ptr<double>(y);
        for (int x = 1; x < kPatch - 1; ++x) {
            if (rw[x] <= 0) continue;
            // b = alpha a - u . grad a + beta, with u = alpha s
            const cv::Vec4d j(ra[x], 1, -0.5 * (ra[x + 1] - ra[x - 1]), -0.5 * (down[x] - up[x]));
            for (int r = 0; r < 4; ++r) {
                for (int c = 0; c < 4; ++c) normal(r, c) += rw[x] * j[r] * j[c];
                right[r] += rw[x] * j[r] * rb[x];
            }
        }
    }
    // A flat or one-directional patch makes the system singular: solved into
    // a Mat of its own, which the solver may release, unlike a fixed vector.
    cv::Mat solved;
    if (!cv::solve(cv::Mat(normal), cv::Mat(right), solved, cv::DECOMP_CHOLESKY) || solved.total() != 4) return false;
    const double* solution = solved.ptr<double>();
    if (!(solution[0] > 0.05)) return false;
    s = {solution[2] / solution[0], solution[3] / solution[0]};
    return std::isfinite(s.x) && std::isfinite(s.y);
}

// The master window around `centre` against the image's window that the
// motion carries there: the measured shift corrects the pair. Clipped
// pixels take no part.
Measured Measure(const Prepared& master, const Prepared& image, int level, Point centre, const Motion& motion,
                 const cv::Mat& window) {
    Measured m;
    const double sm = master.scale(level), si = image.scale(level);
    const cv::Mat& ml = master.luma(level);
    const cv::Mat& il = image.luma(level);
    const cv::Mat& mc = master.clipped(level);
    const cv::Mat& ic = image.clipped(level);
    cv::Mat a(kPatch, kPatch, CV_64F), b(kPatch, kPatch, CV_64F), weight(kPatch, kPatch, CV_64F);
    const double cx = ToLevel(centre.x, sm), cy = ToLevel(centre.y, sm);
    const double left = cx - (kPatch - 1) / 2.0, top = cy - (kPatch - 1) / 2.0;
    if (!(left >= 0 && top >= 0 && left + kPatch - 1 <= ml.cols - 1 && top + kPatch - 1 <= ml.rows - 1)) return m;
    // Candidates sit on whole level pixels: the master's window is copied.
    const bool whole = left == std::floor(left) && top == std::floor(top);
    // The image's positions, exact every eighth pixel across and down and
    // bilinear in between (the motion bends less than a thousandth of a
    // pixel there).
    constexpr int kStep = 8, kNodes = kPatch / kStep + 1;
    std::array<std::array<Point, kNodes>, kNodes> node{};
    for (int j = 0; j < kNodes; ++j)
        for (int i = 0; i < kNodes; ++i) {
            const Point q = motion.map({ToFull(left + i * kStep, sm), ToFull(top + j * kStep, sm)});
            node[static_cast<std::size_t>(j)][static_cast<std::size_t>(i)] = {ToLevel(q.x, si), ToLevel(q.y, si)};
        }
    std::array<double, kPatch + 1> qx{}, qy{};
    int clipped = 0;
    double sumA = 0, sumB = 0;
    for (int j = 0; j < kPatch; ++j) {
        const double ly = top + j;
        const auto& above = node[static_cast<std::size_t>(j / kStep)];
        const auto& below = node[static_cast<std::size_t>(j / kStep + 1)];
        const double down = static_cast<double>(j % kStep) / kStep;
        for (int i = 0; i <= kPatch; i += kStep) {
            const Point& u = above[static_cast<std::size_t>(i / kStep)];
            const Point& v = below[static_cast<std::size_t>(i / kStep)];
            qx[static_cast<std::size_t>(i)] = u.x * (1 - down) + v.x * down;
            qy[static_cast<std::size_t>(i)] = u.y * (1 - down) + v.y * down;
        }
        for (int i = 0; i < kPatch; i += kStep)
            for (int k = 1; k < kStep; ++k) {
                const double t = static_cast<double>(k) / kStep;
                qx[static_cast<std::size_t>(i + k)] = qx[static_cast<std::size_t>(i)] * (1 - t) + qx[static_cast<std::size_t>(i + kStep)] * t;
                qy[static_cast<std::size_t>(i + k)] = qy[static_cast<std::size_t>(i)] * (1 - t) + qy[static_cast<std::size_t>(i + kStep)] * t;
            }
        for (int i = 0; i < kPatch; i += kPatch - 1)
            if (!(qx[i] >= 0 && qy[i] >= 0 && qx[i] < il.cols - 1 && qy[i] < il.rows - 1)) return m;
        double* ra = a.ptr<double>(j);
        double* rb = b.ptr<double>(j);
        double* rw = weight.ptr<double>(j);
        const double* hann = window.ptr<double>(j);
        const float* masterRow = ml.ptr<float>(static_cast<int>(ly)) + static_cast<int>(left);
        const std::uint8_t* masterClip = mc.ptr<std::uint8_t>(static_cast<int>(ly + 0.5));
        for (int i = 0; i < kPatch; ++i) {
            const double lx = left + i;
            if (whole)
                ra[i] = masterRow[i];
            else if (!Bilinear(ml, lx, ly, ra[i]))
                return m;
            const double x = qx[static_cast<std::size_t>(i)], y = qy[static_cast<std::size_t>(i)];
            // The row's ends are inside, and a row is straight enough: so is every position between.
            const int ix = std::clamp(static_cast<int>(x), 0, il.cols - 2), iy = std::clamp(static_cast<int>(y), 0, il.rows - 2);
            const double fx = x - ix, fy = y - iy;
            const float* r0 = il.ptr<float>(iy) + ix;
            const float* r1 = il.ptr<float>(iy + 1) + ix;
            rb[i] = (1 - fy) * ((1 - fx) * r0[0] + fx * r0[1]) + fy * ((1 - fx) * r1[0] + fx * r1[1]);
            const bool off = masterClip[static_cast<int>(lx + 0.5)] || ic.ptr<std::uint8_t>(iy + (fy >= 0.5))[ix + (fx >= 0.5)];
            rw[i] = off ? 0 : hann[i];
            clipped += off;
            if (!off) sumA += ra[i], sumB += rb[i];
        }
    }
    const int used = kPatch * kPatch - clipped;
    if (used < kPatch * kPatch / 2) return m;
    // Clipped pixels become their window's mean, so their edges make no peak.
    const double meanA = sumA / used, meanB = sumB / used;
    cv::Mat pa = a.clone(), pb = b.clone();
    if (clipped > 0)
        for (int j = 0; j < kPatch; ++j)
            for (int i = 0; i < kPatch; ++i)
                if (weight.at<double>(j, i) <= 0 && window.at<double>(j, i) > 0)
                    pa.at<double>(j, i) = meanA, pb.at<double>(j, i) = meanB;
    // b(x) = a(x - s): the image's window shows the master's shifted by s.
    cv::Point2d s = cv::phaseCorrelate(pa, pb, window, &m.response);
    if (std::hypot(s.x, s.y) < 1) {
        cv::Point2d refined;
        if (RefineShift(a, b, weight, refined) && std::hypot(refined.x - s.x, refined.y - s.y) < 0.75) s = refined;
    }
    m.inside = true;
    m.shift = std::hypot(s.x, s.y);
    m.master = {centre.x - s.x * sm, centre.y - s.y * sm};
    m.image = motion.map(centre);
    return m;
}

std::vector<Measured> MeasureAll(const Prepared& master, const Prepared& image, int level,
                                 const std::vector<Candidate>& candidates, const Motion& motion) {
    cv::Mat window;
    cv::createHanningWindow(window, cv::Size(kPatch, kPatch), CV_64F);
    std::vector<Measured> out(candidates.size());
    ParallelFor(static_cast<int>(candidates.size()), 4, [&](int i0, int i1) {
        for (int i = i0; i < i1; ++i) out[static_cast<std::size_t>(i)] = Measure(master, image, level, candidates[static_cast<std::size_t>(i)].centre, motion, window);
    });
    return out;
}

// ---- fitting ----

// A minimal sample's spherical fit keeps the zoom it is given: two pairs
// fix it only as poorly as they lie, and the full fits refine it.
bool FitMotion(const std::vector<Point>& p, const std::vector<Point>& q, const std::vector<double>& w,
               const Motion& like, Motion& out, bool minimal = false) {
    return like.spherical ? FitRotation(p, q, w, like, out, !minimal) : FitSimilarity(p, q, w, out);
}

double Distance(const Motion& motion, Point p, Point q) {
    const Point m = motion.map(p);
    const double d = std::hypot(m.x - q.x, m.y - q.y);
    return std::isfinite(d) ? d : 1e9;
}

double Median(std::vector<double> v) {
    if (v.empty()) return 1e9;
    const auto mid = v.begin() + static_cast<long>(v.size() / 2);
    std::nth_element(v.begin(), mid, v.end());
    return *mid;
}

struct Fit {
    Motion motion;
    std::vector<double> weights;  // 0 for outliers
    int inliers = 0;
    double residual = 0;  // median over inliers, full-size pixels
};

// Two-pair consensus (seeded, so the result never depends on timing), then
// reweighted least squares with Tukey's weights.
bool RobustFit(const std::vector<Point>& p, const std::vector<Point>& q, const std::vector<double>& strength,
               const Motion& like, double tolerance, unsigned seed, Fit& fit) {
    const int n = static_cast<int>(p.size());
    if (n < 2) return false;
    std::mt19937 rng(seed);
    std::uniform_int_distribution<int> pick(0, n - 1);
    int bestCount = -1;
    std::vector<char> bestIn;
    const int trials = std::min(400, n * (n - 1) / 2 * 2);
    for (int t = 0; t < trials; ++t) {
        const int i = pick(rng), j = pick(rng);
        if (i == j) continue;
        Motion candidate;
        if (!FitMotion({p[i], p[j]}, {q[i], q[j]}, {1, 1}, like, candidate, true)) continue;
        std::vector<char> in(static_cast<std::size_t>(n));
        int count = 0;
        for (int k = 0; k < n; ++k) count += in[k] = Distance(candidate, p[k], q[k]) < tolerance;
        if (count > bestCount) bestCount = count, bestIn = std::move(in);
    }
    if (bestCount < 2) return false;
    std::vector<double> w(static_cast<std::size_t>(n));
    for (int k = 0; k < n; ++k) w[k] = bestIn[k] ? strength[k] : 0;
    Motion motion;
    if (!FitMotion(p, q, w, like, motion)) return false;
    for (int round = 0; round < 6; ++round) {
        std::vector<double> r(static_cast<std::size_t>(n)), inlying;
        for (int k = 0; k < n; ++k) {
            r[k] = Distance(motion, p[k], q[k]);
            if (r[k] < tolerance) inlying.push_back(r[k]);
        }
        const double sigma = std::max(0.01, 1.4826 * Median(inlying));
        const double c = std::min(tolerance, 4.685 * sigma);
        for (int k = 0; k < n; ++k) {
            const double u = r[k] / c;
            w[k] = u < 1 ? strength[k] * (1 - u * u) * (1 - u * u) : 0;
        }
        Motion refit;
        if (!FitMotion(p, q, w, like, refit)) break;
        motion = refit;
    }
    fit.motion = motion;
    fit.weights = w;
    std::vector<double> residuals;
    for (int k = 0; k < n; ++k)
        if (w[k] > 0) residuals.push_back(Distance(motion, p[k], q[k]));
    fit.inliers = static_cast<int>(residuals.size());
    fit.residual = Median(residuals);
    return fit.inliers >= 2;
}

// How far two motions put points apart, at most, over the master's frame.
double Disagreement(const Motion& a, const Motion& b, int w, int h) {
    double worst = 0;
    for (int j = 0; j <= 4; ++j)
        for (int i = 0; i <= 4; ++i) {
            const Point p{i * (w - 1) / 4.0, j * (h - 1) / 4.0};
            const Point pa = a.map(p), pb = b.map(p);
            const double d = std::hypot(pa.x - pb.x, pa.y - pb.y);
            worst = std::max(worst, std::isfinite(d) ? d : 1e9);
        }
    return worst;
}

// The share of the master's frame that lands inside the image.
double Overlap(const Motion& motion, int w, int h, int iw, int ih) {
    int inside = 0, all = 0;
    for (int j = 0; j < 20; ++j)
        for (int i = 0; i < 20; ++i, ++all) {
            const Point q = motion.map({(i + 0.5) * w / 20.0, (j + 0.5) * h / 20.0});
            inside += q.x >= 0 && q.y >= 0 && q.x <= iw - 1 && q.y <= ih - 1;
        }
    return static_cast<double>(inside) / all;
}

// One level's refinement: measure, fit, repeat until the motion settles.
bool RefineAtLevel(const Prepared& master, const Prepared& image, int level, const Motion& start, int rounds,
                   Fit& fit, std::vector<Measured>* pairs) {
    const std::vector<Candidate> candidates = Candidates(master, level, false, level == 0 ? 18 : 10, &image);
    if (static_cast<int>(candidates.size()) < kMinMatches) return false;
    const double scale = master.scale(level);
    Motion motion = start;
    bool any = false;
    for (int round = 0; round < rounds; ++round) {
        const std::vector<Measured> measured = MeasureAll(master, image, level, candidates, motion);
        std::vector<Point> p, q;
        std::vector<double> strength;
        std::vector<Measured> used;
        for (const Measured& m : measured)
            if (m.inside && m.response >= kMinResponse && m.shift < kPatch / 4.0) {
                p.push_back(m.master);
                q.push_back(m.image);
                strength.push_back(std::min(1.0, m.response));
                used.push_back(m);
            }
        if (static_cast<int>(p.size()) < kMinMatches) return any;
        Fit next;
        // The finest level agrees within what the check calls lined up, so
        // that of two depths it takes one rather than a blend of both.
        const double tolerance = level == 0 ? 1.5 * scale : std::max(1.5, 2.5 * scale);
        if (!RobustFit(p, q, strength, motion, tolerance, 1234567u + 97u * level + round, next))
            return any;
        const double moved = Disagreement(motion, next.motion, master.width(), master.height());
        motion = next.motion;
        fit = next;
        any = true;
        if (pairs) {
            pairs->clear();
            for (std::size_t k = 0; k < used.size(); ++k)
                if (next.weights[k] > 0) pairs->push_back(used[k]);
        }
        if (moved < 0.02 * scale) break;
    }
    return any;
}

// A first motion from the phase correlation of whole small copies, clipped
// pixels set to the mean: a shift only.
Motion CorrelationStart(const Prepared& master, const Prepared& image) {
    int level = 0;
    while (level + 1 < master.levels() && level + 1 < image.levels() && master.luma(level).cols > 500) ++level;
    const cv::Size size(std::min(master.luma(level).cols, image.luma(level).cols),
                        std::min(master.luma(level).rows, image.luma(level).rows));
    // Edges rather than brightness: exposure changes them little, and a
    // clipped area has none.
    auto flattened = [&](const Prepared& p) {
        cv::Mat l, gx, gy, magnitude;
        p.luma(level)(cv::Rect(cv::Point(), size)).convertTo(l, CV_64F);
        cv::Sobel(l, gx, CV_64F, 1, 0);
        cv::Sobel(l, gy, CV_64F, 0, 1);
        cv::magnitude(gx, gy, magnitude);
        magnitude.setTo(0, p.clipped(level)(cv::Rect(cv::Point(), size)));
        return magnitude;
    };
    cv::Mat window;
    cv::createHanningWindow(window, size, CV_64F);
    const cv::Point2d shift = cv::phaseCorrelate(flattened(master), flattened(image), window);
    Motion m;
    // b(x) = a(x - s): the master's x shows at the image's x + s.
    m.b = {shift.x * master.scale(level), shift.y * master.scale(level)};
    return m;
}

// A first motion from the median-threshold bitmaps of a small copy, which
// do not care about exposure: a shift only.
Motion ThresholdBitmapStart(const Prepared& master, const Prepared& image) {
    int level = 0;
    while (level + 1 < master.levels() && level + 1 < image.levels() && master.luma(level).cols > 800) ++level;
    cv::Mat a, b;
    master.luma(level).convertTo(a, CV_8U);
    image.luma(level).convertTo(b, CV_8U);
    const cv::Size size(std::min(a.cols, b.cols), std::min(a.rows, b.rows));
    a = a(cv::Rect(cv::Point(), size)).clone();
    b = b(cv::Rect(cv::Point(), size)).clone();
    const cv::Point shift = cv::createAlignMTB(6)->calculateShift(a, b);
    Motion m;
    // The master's x shows the image's x - shift.
    m.b = {-shift.x * master.scale(level), -shift.y * master.scale(level)};
    return m;
}

// The most promising of a few first guesses (no shift, the correlation's,
// the threshold bitmaps'; each also turned a little either way), judged by
// how many patches of a small copy agree with it after one fit.
Motion CoarseStart(const Prepared& master, const Prepared& image) {
    int level = 0;
    while (level + 1 < master.levels() && level + 1 < image.levels() && master.luma(level + 1).cols >= 380) ++level;
    const std::vector<Candidate> candidates = Candidates(master, level, false, 10, &image);
    const double scale = master.scale(level);
    const Point centre{(master.width() - 1) / 2.0, (master.height() - 1) / 2.0};
    Motion best;
    int bestCount = -1;
    for (const Motion& shift : {Motion{}, CorrelationStart(master, image), ThresholdBitmapStart(master, image)})
        for (const double degrees : {0.0, -4.0, 4.0}) {
            // Turned about the master's centre, then shifted.
            Motion guess = shift;
            guess.a = std::polar(1.0, degrees * kPi / 180);
            guess.b = shift.b + std::complex<double>(centre.x, centre.y) * (1.0 - guess.a);
            const std::vector<Measured> measured = MeasureAll(master, image, level, candidates, guess);
            std::vector<Point> p, q;
            std::vector<double> strength;
            for (const Measured& m : measured)
                if (m.inside && m.response >= kMinResponse) p.push_back(m.master), q.push_back(m.image), strength.push_back(1);
            Fit fit;
            if (static_cast<int>(p.size()) < 4 || !RobustFit(p, q, strength, guess, std::max(1.5, 2.5 * scale), 99u, fit))
                continue;
            if (fit.inliers > bestCount) bestCount = fit.inliers, best = fit.motion;
        }
    return best;
}

// A first motion from matched features of self-equalised copies at most
// about 1600 pixels across: slower, but it survives large motion.
std::optional<Motion> FeatureStart(const Prepared& master, const Prepared& image) {
    int level = 0;
    while (level + 1 < master.levels() && level + 1 < image.levels() && master.luma(level).cols > 1600) ++level;
    cv::Mat a, b;
    master.luma(level).convertTo(a, CV_8U);
    image.luma(level).convertTo(b, CV_8U);
    cv::equalizeHist(a, a);
    cv::equalizeHist(b, b);
    const cv::Ptr<cv::SIFT> sift = cv::SIFT::create(3000);
    std::vector<cv::KeyPoint> ka, kb;
    cv::Mat da, db;
    sift->detectAndCompute(a, cv::noArray(), ka, da);
    sift->detectAndCompute(b, cv::noArray(), kb, db);
    if (ka.size() < 8 || kb.size() < 8) return std::nullopt;
    std::vector<std::vector<cv::DMatch>> knn;
    cv::BFMatcher(cv::NORM_L2).knnMatch(da, db, knn, 2);
    std::vector<cv::Point2f> pa, pb;
    for (const auto& m : knn)
        if (m.size() == 2 && m[0].distance < 0.75f * m[1].distance) {
            pa.push_back(ka[static_cast<std::size_t>(m[0].queryIdx)].pt);
            pb.push_back(kb[static_cast<std::size_t>(m[0].trainIdx)].pt);
        }
    if (pa.size() < static_cast<std::size_t>(kMinMatches)) return std::nullopt;
    std::vector<unsigned char> inliers;
    const cv::Mat A = cv::estimateAffinePartial2D(pa, pb, inliers, cv::RANSAC, 3.0, 4000, 0.995);
    if (A.empty() || cv::countNonZero(inliers) < kMinMatches) return std::nullopt;
    // The level's similarity, carried to full-size positions.
    std::vector<Point> p, q;
    const double sm = master.scale(level), si = image.scale(level);
    for (const Point corner : {Point{0, 0}, Point{1000, 0}, Point{0, 1000}, Point{1000, 1000}}) {
        const double lx = ToLevel(corner.x, sm), ly = ToLevel(corner.y, sm);
        const double qx = A.at<double>(0, 0) * lx + A.at<double>(0, 1) * ly + A.at<double>(0, 2);
        const double qy = A.at<double>(1, 0) * lx + A.at<double>(1, 1) * ly + A.at<double>(1, 2);
        p.push_back(corner);
        q.push_back({ToFull(qx, si), ToFull(qy, si)});
    }
    Motion m;
    if (!FitSimilarity(p, q, {1, 1, 1, 1}, m)) return std::nullopt;
    return m;
}

// Why a fitted motion cannot be right, or empty.
std::string Implausible(const Fit& fit, const std::vector<Measured>& pairs, const Prepared& master, const Prepared& image) {
    const double turn = std::fabs(fit.motion.rotation()) * 180 / kPi;
    if (turn > 25) return "the best fit would turn it by " + std::to_string(static_cast<int>(turn)) + " degrees";
    const double scale = fit.motion.scale();
    if (scale < 0.8 || scale > 1.25) return "the best fit would scale it by " + std::to_string(scale).substr(0, 4);
    if (Overlap(fit.motion, master.width(), master.height(), image.width(), image.height()) < 0.5)
        return "it would cover less than half of the master's frame";
    if (fit.inliers < kMinMatches)
        return "only " + std::to_string(fit.inliers) + " details matched (at least " + std::to_string(kMinMatches) +
               " are needed)";
    double x0 = 1e18, x1 = -1e18, y0 = 1e18, y1 = -1e18;
    for (const Measured& m : pairs) {
        x0 = std::min(x0, m.master.x), x1 = std::max(x1, m.master.x);
        y0 = std::min(y0, m.master.y), y1 = std::max(y1, m.master.y);
    }
    if (x1 - x0 < 0.08 * master.width() || y1 - y0 < 0.08 * master.height())
        return "the matching details all sit in one small part of the picture";
    return {};
}

}  // namespace

// ---- Prepared ----

Prepared::Prepared(const Bitmap& image) : width_(image.width()), height_(image.height()) {
    factor_ = std::max(1, static_cast<int>(std::ceil(std::max(width_, height_) / kMaxWorking)));
    cv::Mat luma, clipped;
    DownscaleLuma(image, factor_, luma, clipped);
    cv::erode(clipped, clipped, cv::Mat());  // lone clipped pixels do no harm
    clippedShare_ = clipped.empty() ? 1 : cv::mean(clipped)[0];
    cv::Scalar mean, deviation;
    cv::meanStdDev(luma, mean, deviation);
    contrast_ = deviation[0];
    luma_.push_back(luma);
    clipped_.push_back(clipped);
    buildPyramid();
}

void Prepared::buildPyramid() {
    while (luma_.size() < 4 && luma_.back().cols >= 2 * (kPatch + 40) && luma_.back().rows >= 2 * (kPatch + 40)) {
        const cv::Mat& l = luma_.back();
        const cv::Size half(l.cols / 2, l.rows / 2);
        cv::Mat smaller, mask;
        cv::resize(l(cv::Rect(0, 0, half.width * 2, half.height * 2)), smaller, half, 0, 0, cv::INTER_AREA);
        // A coarser pixel counts as clipped when most of what it covers is.
        cv::Mat share;
        clipped_.back()(cv::Rect(0, 0, half.width * 2, half.height * 2)).convertTo(share, CV_32F);
        cv::resize(share, share, half, 0, 0, cv::INTER_AREA);
        cv::threshold(share, share, 0.5, 1, cv::THRESH_BINARY);
        share.convertTo(mask, CV_8U);
        luma_.push_back(smaller);
        clipped_.push_back(mask);
    }
}

Prepared Prepared::matchedTo(const Prepared& master) const {
    // Cumulative histograms of the unclipped luma, then the curve that maps
    // each level of this picture to the master's level of the same rank.
    auto cumulative = [](const Prepared& p) {
        std::vector<double> h(257, 0.0);
        const cv::Mat& l = p.luma(0);
        const cv::Mat& c = p.clipped(0);
        for (int y = 0; y < l.rows; y += 2)
            for (int x = 0; x < l.cols; x += 2)
                if (!c.at<std::uint8_t>(y, x)) h[static_cast<std::size_t>(std::clamp(l.at<float>(y, x), 0.0f, 255.0f)) + 1] += 1;
        for (std::size_t i = 1; i < h.size(); ++i) h[i] += h[i - 1];
        if (h.back() > 0)
            for (double& v : h) v /= h.back();
        return h;
    };
    const std::vector<double> mine = cumulative(*this), theirs = cumulative(master);
    Prepared out = *this;
    if (mine.back() <= 0 || theirs.back() <= 0) return out;
    std::array<float, 257> curve{};
    std::size_t j = 0;
    for (std::size_t i = 0; i < 257; ++i) {
        while (j + 1 < theirs.size() && theirs[j + 1] < mine[i]) ++j;
        const double span = theirs[std::min<std::size_t>(j + 1, 256)] - theirs[j];
        const double t = span > 0 ? std::clamp((mine[i] - theirs[j]) / span, 0.0, 1.0) : 0;
        curve[i] = static_cast<float>(j + t);
    }
    for (std::size_t i = 1; i < curve.size(); ++i) curve[i] = std::max(curve[i], curve[i - 1]);
    for (cv::Mat& l : out.luma_) {
        cv::Mat mapped(l.size(), CV_32F);
        for (int y = 0; y < l.rows; ++y) {
            const float* in = l.ptr<float>(y);
            float* o = mapped.ptr<float>(y);
            for (int x = 0; x < l.cols; ++x) {
                const float v = std::clamp(in[x], 0.0f, 255.999f);
                const int i = static_cast<int>(v);
                o[x] = curve[static_cast<std::size_t>(i)] + (v - i) * (curve[static_cast<std::size_t>(i) + 1] - curve[static_cast<std::size_t>(i)]);
            }
        }
        l = mapped;
    }
    return out;
}

// ---- repeating patterns ----

// Offsets (finest-level pixels) by which the master's middle repeats itself
// almost exactly: tiles, a checkerboard, a grille. The nearest few strong
// local peaks of its autocorrelation, each normalised by its overlap.
std::vector<Point> RepeatOffsets(const Prepared& master) {
    const cv::Mat& l = master.luma(0);
    const int w = std::min(l.cols, 512), h = std::min(l.rows, 512);
    const int range = std::min({kPatch, w / 3, h / 3});
    if (range < 3) return {};
    cv::Mat crop;
    l(cv::Rect((l.cols - w) / 2, (l.rows - h) / 2, w, h)).convertTo(crop, CV_32F);
    crop -= cv::mean(crop)[0];
    // Padded with zeros beyond the range, so no offset wraps round.
    cv::Mat padded = cv::Mat::zeros(cv::getOptimalDFTSize(h + range), cv::getOptimalDFTSize(w + range), CV_32F);
    crop.copyTo(padded(cv::Rect(0, 0, w, h)));
    cv::Mat spectrum, corr;
    cv::dft(padded, spectrum, cv::DFT_COMPLEX_OUTPUT);
    cv::mulSpectrums(spectrum, spectrum, spectrum, 0, true);
    cv::idft(spectrum, corr, cv::DFT_REAL_OUTPUT | cv::DFT_SCALE);
    const double zero = corr.at<float>(0, 0) / (static_cast<double>(w) * h);
    if (!(zero > 1)) return {};  // flat: nothing repeats
    auto at = [&](int dx, int dy) {
        const int x = dx < 0 ? dx + padded.cols : dx, y = dy < 0 ? dy + padded.rows : dy;
        return corr.at<float>(y, x) / (static_cast<double>(w - std::abs(dx)) * (h - std::abs(dy))) / zero;
    };
    std::vector<std::pair<double, Point>> peaks;
    for (int dy = -range + 1; dy < range; ++dy)
        for (int dx = -range + 1; dx < range; ++dx) {
            if (std::max(std::abs(dx), std::abs(dy)) < 2) continue;
            const double v = at(dx, dy);
            if (v < 0.75) continue;
            bool peak = true;
            for (int j = -1; j <= 1 && peak; ++j)
                for (int i = -1; i <= 1 && peak; ++i)
                    if ((i || j) && std::abs(dx + i) < range && std::abs(dy + j) < range && at(dx + i, dy + j) > v)
                        peak = false;
            if (peak) peaks.push_back({v, Point{static_cast<double>(dx), static_cast<double>(dy)}});
        }
    // The shortest repeats first: they say how uncertain the shift is.
    std::sort(peaks.begin(), peaks.end(), [](const auto& a, const auto& b) {
        return std::hypot(a.second.x, a.second.y) < std::hypot(b.second.x, b.second.y);
    });
    std::vector<Point> offsets;
    for (std::size_t i = 0; i < std::min<std::size_t>(peaks.size(), 4); ++i)
        offsets.push_back({peaks[i].second.x * master.scale(0), peaks[i].second.y * master.scale(0)});
    return offsets;
}

// `m` for master points moved by `d`: where the image would sit if the
// match were one repeat further along.
Motion ShiftedBy(const Motion& m, Point d, int mw, int mh) {
    std::vector<Point> p, q;
    for (int j = 0; j < 4; ++j)
        for (int i = 0; i < 4; ++i) {
            const Point at{(i + 0.5) * mw / 4.0, (j + 0.5) * mh / 4.0};
            const Point to = m.map({at.x + d.x, at.y + d.y});
            if (std::isfinite(to.x)) p.push_back(at), q.push_back(to);
        }
    Motion out = m;
    const std::vector<double> w(p.size(), 1.0);
    if (m.spherical ? !FitRotation(p, q, w, m, out, true) : !FitSimilarity(p, q, w, out)) return m;
    return out;
}

// ---- registration ----

double Registration::confidence() const {
    if (status == Status::Failed) return 0;
    const double agreement = check.within;
    const double precision = 1 / (1 + check.median / 0.1);
    return std::clamp(agreement * (0.5 + 0.5 * precision), 0.0, 1.0);
}

namespace {

// Verify on a level of the pyramids, in full-size pixels.
Verification VerifyAt(const Prepared& master, const Prepared& image, const Motion& motion, int level) {
    Verification v;
    const std::vector<Candidate> candidates = Candidates(master, level, true, 12, &image);
    const std::vector<Measured> measured = MeasureAll(master, image, level, candidates, motion);
    std::vector<double> shifts;
    int within = 0;
    v.worst = 0;
    for (const Measured& m : measured) {
        if (!m.inside) continue;
        const double shift = m.response >= kMinResponse ? m.shift * master.scale(level) : 1e9;
        shifts.push_back(shift);
        if (shift <= 1.5) ++within, v.worst = std::max(v.worst, shift);
    }
    v.patches = static_cast<int>(shifts.size());
    if (v.patches == 0) return v;
    v.within = static_cast<double>(within) / v.patches;
    v.slightlyOff = static_cast<double>(std::count_if(shifts.begin(), shifts.end(), [](double s) {
                        return s > 1.5 && s <= 12;
                    })) / v.patches;
    v.median = Median(shifts);
    return v;
}

}  // namespace

Verification Verify(const Prepared& master, const Prepared& image, const Motion& motion) {
    return VerifyAt(master, image, motion, 0);
}

namespace {

// How the frame lines up under `motion` on a coarser level, when a fifth
// of it or more does and clearly more than under the image's previous motion.
std::optional<Verification> CoarseAgreement(const Prepared& master, const Prepared& image, const Motion& motion,
                                            const std::optional<Motion>& previous) {
    const int level = std::min({2, master.levels() - 1, image.levels() - 1});
    if (level < 1) return std::nullopt;
    const Verification now = VerifyAt(master, image, motion, level);
    const Verification before = previous ? VerifyAt(master, image, *previous, level) : Verification{};
    const double had = before.patches ? before.within : 0;
    if (now.patches < 8 || now.within < 0.2 || now.within < had + 0.15 || !(now.median < before.median)) return std::nullopt;
    return now;
}

// The likely cause of the parts that do not line up: a few pixels off is
// depth seen from two places; nothing alike nearby is something that moved.
std::string Disagreeing(const Verification& v) {
    if (v.slightlyOff >= 0.5 * (1 - v.within))
        return "the others are off by a few pixels, as near and far objects photographed from slightly different "
               "places are";
    return "the others show something else, as moving things (people, water, leaves) do";
}

}  // namespace

std::pair<Point, Point> ControlPointPlaces(const Prepared& master) {
    // The most textured window of the left third and of the right third.
    const std::vector<Candidate> all = Candidates(master, 0, false, 12);
    Candidate left, right;
    for (const Candidate& c : all) {
        if (c.centre.x < master.width() / 3.0 && c.texture > left.texture) left = c;
        if (c.centre.x > master.width() * 2 / 3.0 && c.texture > right.texture) right = c;
    }
    auto whole = [](Point p) { return Point{std::nearbyint(p.x), std::nearbyint(p.y)}; };
    if (left.texture <= 0 || right.texture <= 0)
        return {{std::floor(master.width() / 10.0), std::floor(master.height() / 2.0)},
                {master.width() - std::floor(master.width() / 10.0), std::floor(master.height() / 2.0)}};
    return {whole(left.centre), whole(right.centre)};
}

Motion SphericalNear(const Motion& from, double f, Point pivot, int mw, int mh, int iw, int ih) {
    Motion like;
    like.spherical = true;
    like.f = f;
    like.pivot = pivot;
    like.masterCentre = {(mw - 1) / 2.0, (mh - 1) / 2.0};
    like.imageCentre = {(iw - 1) / 2.0, (ih - 1) / 2.0};
    std::vector<Point> p, q;
    for (int j = 0; j < 6; ++j)
        for (int i = 0; i < 8; ++i) {
            const Point m{(i + 0.5) * mw / 8.0, (j + 0.5) * mh / 6.0};
            const Point t = from.map(m);
            if (std::isfinite(t.x)) p.push_back(m), q.push_back(t);
        }
    Motion out = like;
    FitRotation(p, q, std::vector<double>(p.size(), 1.0), like, out, true);
    return out;
}

Registration Register(const Prepared& master, const Prepared& image, const RegistrationOptions& options) {
    Registration r;
    auto progress = [&](int percent) {
        if (options.progress) options.progress(percent);
    };
    auto fail = [&](std::string reason) {
        r.status = Registration::Status::Failed;
        r.reason = std::move(reason);
        if (options.previous) r.motion = *options.previous;
        return r;
    };
    const double ratio = static_cast<double>(image.width()) / master.width();
    const double ratioY = static_cast<double>(image.height()) / master.height();
    if (ratio < 0.8 || ratio > 1.25 || ratioY < 0.8 || ratioY > 1.25)
        return fail("it is " + std::to_string(image.width()) + " x " + std::to_string(image.height()) +
                    " pixels and the master " + std::to_string(master.width()) + " x " + std::to_string(master.height()) +
                    ": too different in size to align automatically");
    if (master.contrast() < 1 || image.contrast() < 1) return fail("the picture has no detail to align on");
    if (image.clippedShare() > 0.97) return fail("almost all of the picture is clipped");

    auto shaped = [&](const Motion& m) {
        return options.spherical
                   ? SphericalNear(m, options.f,
                                   options.pivot.value_or(Point{(master.width() - 1) / 2.0, (master.height() - 1) / 2.0}),
                                   master.width(), master.height(), image.width(), image.height())
                   : m;
    };
    // Coarse to fine from a first guess.
    auto pyramid = [&](Motion start, Fit& fit, std::vector<Measured>& pairs) {
        const int coarsest = std::min(std::min(master.levels(), image.levels()) - 1, options.start ? 1 : 99);
        bool any = false;
        for (int level = coarsest; level >= 0; --level) {
            Fit at;
            if (RefineAtLevel(master, image, level, start, level == coarsest ? 6 : 4, at, &pairs)) {
                fit = at;
                start = at.motion;
                any = true;
            } else if (!any && level > 0) {
                continue;  // too small or too flat yet: start finer
            } else if (!any) {
                return false;
            }
            progress(20 + 60 * (coarsest - level + 1) / (coarsest + 1));
        }
        return any && fit.inliers >= kMinMatches;
    };
    // First guesses: the given start, or the best of a few shifts and turns
    // tried on a small copy; matched features when those lead nowhere.
    Fit fit;
    std::vector<Measured> pairs;
    std::optional<Verification> checked;  // of `fit`
    for (int attempt = 0; attempt < 2; ++attempt) {
        progress(5 + 5 * attempt);
        std::optional<Motion> start;
        if (attempt == 0) start = options.start ? *options.start : shaped(CoarseStart(master, image));
        if (attempt == 1 && options.allowFeatures) {
            if (const auto features = FeatureStart(master, image)) start = shaped(*features);
            r.usedFeatures = start.has_value();
        }
        if (!start) continue;
        Fit tried;
        std::vector<Measured> triedPairs;
        if (!pyramid(*start, tried, triedPairs)) continue;
        if (tried.inliers > fit.inliers) fit = tried, pairs = triedPairs, checked.reset();
        if (!Implausible(tried, triedPairs, master, image).empty()) continue;
        const Verification check = Verify(master, image, tried.motion);
        if (check.good()) {
            fit = tried;
            pairs = triedPairs;
            checked = check;
            break;
        }
    }
    if (fit.inliers == 0) return fail("no matching details were found: it does not look like the same scene");
    // The pairs stay with a failed result too: the field of view is
    // estimated from them when the plane fitted badly.
    for (const Measured& m : pairs) r.masterPoints.push_back(m.master), r.imagePoints.push_back(m.image);
    r.matches = fit.inliers;
    r.residual = fit.residual;
    r.found = fit.motion;
    if (const std::string why = Implausible(fit, pairs, master, image); !why.empty()) return fail(why);

    r.motion = fit.motion;
    r.check = checked ? *checked : Verify(master, image, r.motion);
    progress(95);
    // The previous motion is judged the same way, unless it is plainly the
    // same as the new one or far from it (then it cannot also be good).
    std::optional<Verification> before;
    if (options.previous) {
        const double apart = Disagreement(r.motion, *options.previous, master.width(), master.height());
        if (apart < 0.01)
            before = r.check;
        else if (apart > 8 && r.check.good())
            before = Verification{};
        else
            before = Verify(master, image, *options.previous);
    }
    const bool beforeGood = before && before->good();
    if (r.check.good()) {
        // Never worse: points that already fit clearly better are kept.
        if (beforeGood && before->median + 0.02 < r.check.median) {
            r.motion = *options.previous;
            r.check = *before;
            r.reason = "its control points already fit better";
        }
        r.status = Registration::Status::Aligned;
    } else if ((r.check.patches >= 8 && r.check.median <= 1 && (!before || r.check.median < before->median)) ||
               (r.check.patches >= 8 && r.check.within >= 0.4 && (!before || r.check.within >= before->within + 0.2))) {
        // The static part of the scene agrees and the image stands clearly
        // better than it did; the rest moved or lies at another depth, which
        // no global motion explains and the merger's deghosting handles.
        r.status = Registration::Status::Approximate;
        r.reason = std::to_string(static_cast<int>(r.check.within * 100)) +
                   "% of the checked areas line up within 1.5 pixels; " + Disagreeing(r.check);
    } else if (const auto coarse = CoarseAgreement(master, image, r.motion, options.previous)) {
        // Close range: no single motion fits all of the frame to a pixel, but
        // a large part of it agrees on a coarser scale (where compression's
        // blocks, which favour no shift at all, are gone) and the image
        // stands clearly better than it did.
        r.status = Registration::Status::Approximate;
        r.reason = std::to_string(static_cast<int>(coarse->within * 100)) + "% of the picture lines up; " +
                   Disagreeing(*coarse);
    } else {
        const std::string share = std::to_string(static_cast<int>(r.check.within * 100));
        return fail(r.check.patches < 8 ? "too few areas of the picture could be compared with the master"
                                        : "only " + share + "% of the checked areas line up with the master");
    }
    // A pattern that repeats fits a whole repeat further just as well: then
    // the pixels cannot tell which of the shifts is the true one.
    if (r.status == Registration::Status::Aligned && r.reason.empty())
        for (const Point d : RepeatOffsets(master)) {
            if (!Verify(master, image, ShiftedBy(r.motion, d, master.width(), master.height())).good()) continue;
            r.status = Registration::Status::Approximate;
            r.reason = "a repeating pattern fits as well " + std::to_string(static_cast<int>(std::lround(std::hypot(d.x, d.y)))) +
                       " pixels further, so the shift is uncertain by that much";
            break;
        }
    progress(100);
    return r;
}

// ---- the field of view ----

std::optional<FieldOfViewEstimate> EstimateFieldOfView(const std::vector<Registration>& registrations, int mw,
                                                      int mh, const std::vector<std::pair<int, int>>& sizes,
                                                      std::optional<double> given) {
    std::size_t pairs = 0;
    for (const auto& r : registrations) pairs += r.masterPoints.size();
    if (pairs < static_cast<std::size_t>(kMinMatches)) return std::nullopt;
    // How far the pairs lie from the best rotation of each image, for one
    // focal length (the planar similarity's the same way): a Huber loss and
    // its reweighted fit, so a few stray pairs do not flatten the minimum.
    constexpr double kHuber = 0.2;
    auto rms = [&](bool spherical, double halfFOV) {
        double sum = 0;
        std::size_t n = 0;
        for (std::size_t k = 0; k < registrations.size(); ++k) {
            const auto& r = registrations[k];
            if (r.masterPoints.size() < static_cast<std::size_t>(kMinMatches)) continue;
            Motion like;
            like.spherical = spherical;
            like.f = (std::max(mw, mh) / 2) / std::tan(halfFOV);
            like.masterCentre = {(mw - 1) / 2.0, (mh - 1) / 2.0};
            like.imageCentre = {(sizes[k].first - 1) / 2.0, (sizes[k].second - 1) / 2.0};
            std::vector<double> w(r.masterPoints.size(), 1.0);
            Motion m;
            bool fitted = false;
            for (int round = 0; round < 4; ++round) {
                if (!(spherical ? FitRotation(r.masterPoints, r.imagePoints, w, like, m)
                                : FitSimilarity(r.masterPoints, r.imagePoints, w, m)))
                    break;
                fitted = true;
                for (std::size_t i = 0; i < w.size(); ++i)
                    w[i] = 1 / std::max(1.0, Distance(m, r.masterPoints[i], r.imagePoints[i]) / kHuber);
            }
            if (!fitted) continue;
            for (std::size_t i = 0; i < r.masterPoints.size(); ++i) {
                const double d = Distance(m, r.masterPoints[i], r.imagePoints[i]);
                sum += d <= kHuber ? d * d : kHuber * (2 * d - kHuber);
                ++n;
            }
        }
        return n ? std::sqrt(sum / n) : 1e9;
    };
    // A scan in whole degrees, then a golden-section search about the best.
    double best = 0, bestRms = 1e18;
    for (int degrees = 10; degrees <= 130; degrees += 2) {
        const double e = rms(true, degrees * kPi / 360);
        if (e < bestRms) bestRms = e, best = degrees;
    }
    double lo = (best - 2) * kPi / 360, hi = (best + 2) * kPi / 360;
    const double g = (std::sqrt(5.0) - 1) / 2;
    for (int i = 0; i < 40; ++i) {
        const double a = hi - g * (hi - lo), b = lo + g * (hi - lo);
        if (rms(true, a) < rms(true, b))
            hi = b;
        else
            lo = a;
    }
    FieldOfViewEstimate e;
    e.halfFOV = (lo + hi) / 2;
    e.sphericalRms = rms(true, e.halfFOV);
    e.planarRms = rms(false, 0.5);
    if (given) e.givenRms = rms(true, *given);
    return e;
}

}  // namespace vantrel::autoalign
