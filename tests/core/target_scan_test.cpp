#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>

#include "lens/target_scan.h"
#include "imaging/draw.h"
#include "test_support.h"

namespace vantrel {
namespace {

// The score exactly as defined: four boxes measured pixel by pixel, pixels
// outside the picture black.
int BruteScore(const Bitmap& image, const ScanParameters& p, int x, int y) {
    const int s = p.boxSize;
    auto balance = [&](int x0, int y0, bool redFirst) {
        int sum = 0;
        for (int yy = y0; yy < y0 + s; ++yy)
            for (int xx = x0; xx < x0 + s; ++xx) {
                int r = 0, g = 0;
                if (xx >= 0 && yy >= 0 && xx < image.width() && yy < image.height()) {
                    r = test::Pixel(image, xx, yy)[2];
                    g = test::Pixel(image, xx, yy)[1];
                }
                const int red = r > p.redThreshold, green = g > p.greenThreshold;
                sum += redFirst ? red - green : green - red;
            }
        return sum;
    };
    return balance(x - s, y - s, true) + balance(x + 1, y - s, false) + balance(x - s, y + 1, false) +
           balance(x + 1, y + 1, true);
}

TEST(TargetScan, CandidatesEqualTheBruteForce) {
    std::mt19937 rng(3);
    Bitmap noisy(61, 47);
    for (int y = 0; y < 47; ++y)
        for (int i = 0; i < 61 * 3; ++i) noisy.row(y)[i] = static_cast<std::uint8_t>(rng() % 256);
    Bitmap target(120, 90);
    DrawTargetPattern(target);
    for (const Bitmap* image : {&noisy, &target})
        for (int s : {1, 3, 12}) {
            ScanParameters p;
            p.boxSize = s;
            p.pointPercent = 20;
            std::vector<Corner> pos, neg, expectPos, expectNeg;
            ScanCandidates(*image, p, pos, neg);
            for (int y = 0; y < image->height(); ++y)
                for (int x = 0; x < image->width(); ++x) {
                    const int score = BruteScore(*image, p, x, y);
                    ASSERT_EQ(CornerScore(*image, p, x, y), score);
                    if (score > p.pointThreshold()) expectPos.push_back({x, y, score});
                    if (score < -p.pointThreshold()) expectNeg.push_back({x, y, score});
                }
            EXPECT_EQ(pos, expectPos) << s;
            EXPECT_EQ(neg, expectNeg) << s;
        }
}

TEST(TargetScan, FindsEveryInnerCornerOfTheTarget) {
    Bitmap target(400, 300);
    DrawTargetPattern(target);
    ScanParameters p;  // the defaults: S = 12, threshold 403
    EXPECT_EQ(p.pointThreshold(), 403);
    EXPECT_EQ(CornerScore(target, p, 100, 100), 4 * 12 * 12);  // a saturated positive corner
    Bitmap marked = target;
    const ScanResult r = ScanCalibrationPhoto(marked, p);
    // Inner grid points at least S + 1 from the edge: x = 50..350, y = 50..250.
    std::size_t expectedPos = 0, expectedNeg = 0;
    for (int gy = 50; gy <= 250; gy += 50)
        for (int gx = 50; gx <= 350; gx += 50) (((gx + gy) / 50) % 2 == 0 ? expectedPos : expectedNeg)++;
    EXPECT_EQ(r.positive.size(), expectedPos);
    EXPECT_EQ(r.negative.size(), expectedNeg);
    for (const Corner& c : r.positive) {
        EXPECT_EQ(c.x % 50, 0);
        EXPECT_EQ(c.y % 50, 0);
        EXPECT_EQ(((c.x + c.y) / 50) % 2, 0);  // upper-left square red
        EXPECT_EQ(test::Pixel(marked, c.x, c.y)[0], 255);  // white centre
        EXPECT_EQ(test::Pixel(marked, c.x + 12, c.y)[0], 255);  // blue circle
        EXPECT_EQ(test::Pixel(marked, c.x + 12, c.y)[2], 0);
    }
    EXPECT_EQ(r.counterText, "Raw Neg Points left to scan -  0");
}

TEST(TargetScan, DegenerateInputsEndWithoutCorners) {
    Bitmap plain(80, 60);
    plain.fill(0, 0, 255);  // all red
    ScanParameters p;
    Bitmap copy = plain;
    ScanResult r = ScanCalibrationPhoto(copy, p);
    EXPECT_TRUE(r.positive.empty() && r.negative.empty());
    EXPECT_EQ(r.counterText, "Lines left to scan -  1");
    EXPECT_TRUE(copy.samePixels(plain));

    for (int s : {0, -3}) {
        p.boxSize = s;
        Bitmap target(100, 100);
        DrawTargetPattern(target);
        r = ScanCalibrationPhoto(target, p);
        EXPECT_TRUE(r.positive.empty() && r.negative.empty());
    }
    p = ScanParameters{};
    Bitmap tiny(5, 4);
    DrawTargetPattern(tiny);
    r = ScanCalibrationPhoto(tiny, p);
    EXPECT_TRUE(r.positive.empty() && r.negative.empty());

    // A negative point threshold lets zero scores in; the scan still ends.
    p.pointPercent = -10;
    Bitmap target(60, 60);
    DrawTargetPattern(target);
    r = ScanCalibrationPhoto(target, p);
    EXPECT_FALSE(r.positive.empty());

    // Blue threshold changes nothing; a pixel red and green at once counts 0.
    p = ScanParameters{};
    p.blueThreshold = 250;
    Bitmap t2(100, 100);
    DrawTargetPattern(t2);
    Bitmap t3 = t2;
    EXPECT_EQ(ScanCalibrationPhoto(t2, p).positive, ScanCalibrationPhoto(t3, ScanParameters{}).positive);
    Bitmap yellow(30, 30);
    yellow.fill(0, 255, 255);
    EXPECT_EQ(CornerScore(yellow, ScanParameters{}, 15, 15), 0);
}

// The reduction exactly as defined: a walk over the whole list for every seed.
std::vector<Corner> NaiveReduce(std::vector<Corner> list, int s, bool positive) {
    std::vector<Corner> corners;
    long long n = static_cast<long long>(list.size());
    while (n > 0 && !list.empty()) {
        const Corner seed = list.front();
        std::vector<Corner> cluster;
        for (Corner& c : list)
            if (std::hypot(static_cast<double>(c.x) - seed.x, static_cast<double>(c.y) - seed.y) < 2.0 * s) {
                cluster.push_back(c);
                c = Corner{};
                --n;
            }
        Corner best = cluster.front();
        for (const Corner& c : cluster)
            if (std::abs(c.score) >= std::abs(best.score)) best = c;
        corners.push_back(best);
        std::vector<Corner> rest;
        for (const Corner& c : list)
            if (positive ? c.score > 0 : c.score < 0) rest.push_back(c);
        list = rest;
    }
    return corners;
}

TEST(TargetScan, ClusteringEqualsTheListWalk) {
    std::mt19937 rng(9);
    for (int percent : {70, 30, 5, -10}) {
        Bitmap photo(160, 120);
        DrawTargetPattern(photo);
        for (int y = 0; y < photo.height(); ++y)
            for (int i = 0; i < photo.width() * 3; ++i)
                photo.row(y)[i] = static_cast<std::uint8_t>(photo.row(y)[i] * 0.7 + rng() % 80);
        ScanParameters p;
        p.boxSize = 5;
        p.pointPercent = percent;
        std::vector<Corner> pos, neg;
        ScanCandidates(photo, p, pos, neg);
        const ScanResult r = ScanCalibrationPhoto(photo, p);
        EXPECT_EQ(r.positive, NaiveReduce(pos, 5, true)) << percent;
        EXPECT_EQ(r.negative, NaiveReduce(neg, 5, false)) << percent;
    }
}

TEST(TargetScan, ClustersHaveRadiusTwoS) {
    // Two isolated corners exactly 2S apart are separate clusters.
    Bitmap image(200, 60);
    ScanParameters p;
    p.boxSize = 4;
    auto corner = [&](int cx, int cy) {
        FillRect(image, cx - 4, cy - 4, cx, cy, Rgb{255, 0, 0});
        FillRect(image, cx + 1, cy - 4, cx + 5, cy, Rgb{0, 255, 0});
        FillRect(image, cx - 4, cy + 1, cx, cy + 5, Rgb{0, 255, 0});
        FillRect(image, cx + 1, cy + 1, cx + 5, cy + 5, Rgb{255, 0, 0});
    };
    corner(50, 30);
    corner(58, 30);  // 2S = 8 to the right
    const ScanResult r = ScanCalibrationPhoto(image, p);
    ASSERT_EQ(r.positive.size(), 2u);
    std::vector<int> xs = {r.positive[0].x, r.positive[1].x};
    std::sort(xs.begin(), xs.end());
    EXPECT_EQ(xs, (std::vector<int>{50, 58}));
}

}  // namespace
}  // namespace vantrel
