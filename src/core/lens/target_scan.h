#pragma once

#include <functional>
#include <string>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel {

// The calibration target: red and green squares of 50 pixels, red at the top left.
void DrawTargetPattern(Bitmap& bitmap);

struct ScanParameters {
    int redThreshold = 100;
    int greenThreshold = 100;
    int blueThreshold = 10;  // read, takes no part
    int boxSize = 12;        // S
    int pointPercent = 70;   // P
    int pointThreshold() const { return static_cast<int>((static_cast<long long>(pointPercent) * 4 * boxSize * boxSize) / 100); }
};

struct Corner {
    int x = 0, y = 0, score = 0;
    bool operator==(const Corner&) const = default;
};

// The corner score of pixel (x, y): the colour balance of the four S x S boxes
// around it (row y and column x left out), red-first upper left and lower
// right, green-first the others; pixels outside the picture count as black.
int CornerScore(const Bitmap& image, const ScanParameters& p, int x, int y);

struct ScanResult {
    std::vector<Corner> positive, negative;
    std::string counterText;  // the last progress text
};

// Finds the corners of a photographed target: candidates above (below minus)
// the point threshold, reduced to the strongest of each cluster of radius 2S
// around a seed; then marks each corner on `image` (blue circle of radius S,
// white centre). `progress` gets the progress texts on the calling thread.
ScanResult ScanCalibrationPhoto(Bitmap& image, const ScanParameters& p,
                                const std::function<void(const std::string&)>& progress = {});

// The candidates of the scan, in row order: for tests against the brute force.
void ScanCandidates(const Bitmap& image, const ScanParameters& p, std::vector<Corner>& positive,
                    std::vector<Corner>& negative);

}  // namespace vantrel
