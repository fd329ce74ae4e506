#include "lens/target_scan.h"

#include <algorithm>
#include <cmath>
#include <map>

#include "imaging/draw.h"
#include "util/parallel.h"

namespace vantrel {

void DrawTargetPattern(Bitmap& bitmap) {
    const int w = bitmap.width(), h = bitmap.height();
    for (int j = 0; j <= h / 50; ++j)
        for (int i = 0; i <= w / 50; ++i)
            FillRect(bitmap, 50 * i, 50 * j, 50 * i + 50, 50 * j + 50, (i + j) % 2 == 0 ? Rgb{255, 0, 0} : Rgb{0, 255, 0});
}

namespace {

// +1 for a red pixel, -1 for a green one, 0 for both or neither.
inline int Balance(const std::uint8_t* p, const ScanParameters& s) {
    return (p[2] > s.redThreshold ? 1 : 0) - (p[1] > s.greenThreshold ? 1 : 0);
}

// Sums of the balance over rectangles, from a summed-area table.
class BalanceSums {
public:
    BalanceSums(const Bitmap& image, const ScanParameters& s) : w_(image.width()), h_(image.height()) {
        table_.assign(static_cast<std::size_t>(w_ + 1) * (h_ + 1), 0);
        for (int y = 0; y < h_; ++y) {
            const std::uint8_t* p = image.row(y);
            std::int32_t run = 0;
            std::int32_t* above = &table_[static_cast<std::size_t>(y) * (w_ + 1)];
            std::int32_t* here = above + (w_ + 1);
            for (int x = 0; x < w_; ++x, p += 3) {
                run += Balance(p, s);
                here[x + 1] = above[x + 1] + run;
            }
        }
    }
    // Columns x0..x1 and rows y0..y1 inclusive; parts outside the picture count 0.
    std::int32_t sum(int x0, int y0, int x1, int y1) const {
        x0 = std::max(x0, 0);
        y0 = std::max(y0, 0);
        x1 = std::min(x1, w_ - 1);
        y1 = std::min(y1, h_ - 1);
        if (x0 > x1 || y0 > y1) return 0;
        auto at = [&](int x, int y) { return table_[static_cast<std::size_t>(y) * (w_ + 1) + x]; };
        return at(x1 + 1, y1 + 1) - at(x0, y1 + 1) - at(x1 + 1, y0) + at(x0, y0);
    }

private:
    int w_, h_;
    std::vector<std::int32_t> table_;
};

int ScoreFrom(const BalanceSums& sums, int s, int x, int y) {
    // Red-first boxes count the balance, green-first ones its opposite.
    return sums.sum(x - s, y - s, x - 1, y - 1) - sums.sum(x + 1, y - s, x + s, y - 1) -
           sums.sum(x - s, y + 1, x - 1, y + s) + sums.sum(x + 1, y + 1, x + s, y + s);
}

// The strongest candidate of each cluster: seeds taken in list order, each
// gathering every remaining candidate closer than 2S. A grid of 2S cells
// finds those without walking the whole list for every seed; the outcome is
// the list walk's, order included.
std::vector<Corner> Reduce(const std::vector<Corner>& list, int s, bool positive, const char* text,
                           std::string& counter, const std::function<void(const std::string&)>& progress) {
    std::vector<Corner> corners;
    const double reach = 2.0 * s;
    const int cell = std::max(1, 2 * s);
    auto cellOf = [cell](int v) { return static_cast<long long>(std::floor(static_cast<double>(v) / cell)); };
    std::map<std::pair<long long, long long>, std::vector<std::size_t>> grid;
    for (std::size_t i = 0; i < list.size(); ++i) grid[{cellOf(list[i].x), cellOf(list[i].y)}].push_back(i);
    std::vector<bool> gone(list.size(), false);
    long long n = static_cast<long long>(list.size());
    std::size_t next = 0;
    bool firstPass = true;
    while (n > 0) {
        while (next < list.size() && gone[next]) ++next;
        if (next == list.size()) break;  // nothing left to seed from
        const Corner seed = list[next];
        std::vector<std::size_t> members;
        const long long cx = cellOf(seed.x), cy = cellOf(seed.y);
        for (long long gy = cy - 1; gy <= cy + 1; ++gy)
            for (long long gx = cx - 1; gx <= cx + 1; ++gx) {
                const auto found = grid.find({gx, gy});
                if (found == grid.end()) continue;
                for (std::size_t i : found->second)
                    if (!gone[i] && std::hypot(static_cast<double>(list[i].x) - seed.x,
                                               static_cast<double>(list[i].y) - seed.y) < reach)
                        members.push_back(i);
            }
        std::sort(members.begin(), members.end());
        Corner best = list[members.front()];
        for (std::size_t i : members) {
            if (std::abs(static_cast<long long>(list[i].score)) >= std::abs(static_cast<long long>(best.score)))
                best = list[i];
            gone[i] = true;
            --n;
        }
        corners.push_back(best);
        // The rebuilt list keeps only scores of the list's sign.
        if (firstPass)
            for (std::size_t i = 0; i < list.size(); ++i)
                if (positive ? list[i].score <= 0 : list[i].score >= 0) gone[i] = true;
        firstPass = false;
        counter = text + std::to_string(n);
        if (progress) progress(counter);
    }
    return corners;
}

void MarkCorner(Bitmap& image, const Corner& c, int s) {
    // A circle outline of radius S (midpoint algorithm), then a white centre.
    const Rgb blue{0, 0, 255};
    int x = s, y = 0, err = 1 - s;
    while (x >= y) {
        const int pts[8][2] = {{x, y}, {y, x}, {-y, x}, {-x, y}, {-x, -y}, {-y, -x}, {y, -x}, {x, -y}};
        for (const auto& p : pts) SetPixel(image, c.x + p[0], c.y + p[1], blue);
        ++y;
        if (err < 0) {
            err += 2 * y + 1;
        } else {
            --x;
            err += 2 * (y - x) + 1;
        }
    }
    SetPixel(image, c.x, c.y, kWhite);
}

}  // namespace

int CornerScore(const Bitmap& image, const ScanParameters& p, int x, int y) {
    if (p.boxSize <= 0) return 0;
    const BalanceSums sums(image, p);
    return ScoreFrom(sums, p.boxSize, x, y);
}

void ScanCandidates(const Bitmap& image, const ScanParameters& p, std::vector<Corner>& positive,
                    std::vector<Corner>& negative) {
    positive.clear();
    negative.clear();
    const int w = image.width(), h = image.height(), s = p.boxSize;
    if (s <= 0 || w <= 0 || h <= 0) return;
    const BalanceSums sums(image, p);
    const int threshold = p.pointThreshold();
    // Rows in parallel, gathered back in row order.
    std::vector<std::vector<Corner>> pos(static_cast<std::size_t>(h)), neg(static_cast<std::size_t>(h));
    ParallelFor(h, 16, [&](int y0, int y1) {
        for (int y = y0; y < y1; ++y)
            for (int x = 0; x < w; ++x) {
                const int score = ScoreFrom(sums, s, x, y);
                if (score > threshold) pos[y].push_back({x, y, score});
                if (score < -threshold) neg[y].push_back({x, y, score});
            }
    });
    for (int y = 0; y < h; ++y) {
        positive.insert(positive.end(), pos[y].begin(), pos[y].end());
        negative.insert(negative.end(), neg[y].begin(), neg[y].end());
    }
}

ScanResult ScanCalibrationPhoto(Bitmap& image, const ScanParameters& p,
                                const std::function<void(const std::string&)>& progress) {
    ScanResult result;
    std::vector<Corner> positive, negative;
    ScanCandidates(image, p, positive, negative);
    result.counterText = "Lines left to scan -  1";
    if (progress) progress(result.counterText);
    const int s = std::max(p.boxSize, 1);
    result.positive = Reduce(positive, s, true, "Raw Pos Points left to scan -  ", result.counterText, progress);
    result.negative = Reduce(negative, s, false, "Raw Neg Points left to scan -  ", result.counterText, progress);
    for (const Corner& c : result.positive) MarkCorner(image, c, p.boxSize);
    for (const Corner& c : result.negative) MarkCorner(image, c, p.boxSize);
    return result;
}

}  // namespace vantrel
