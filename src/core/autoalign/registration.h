#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <opencv2/core.hpp>

#include "autoalign/motion.h"
#include "imaging/bitmap.h"

namespace vantrel::autoalign {

// A picture made ready for registration: its luma at a working scale of at
// most about 3000 pixels across, a mask of its clipped pixels (any channel
// 250 or more, or all 5 or less, grown by a pixel) and a pyramid of both.
class Prepared {
public:
    explicit Prepared(const Bitmap& image);

    int width() const { return width_; }
    int height() const { return height_; }
    int levels() const { return static_cast<int>(luma_.size()); }
    // Full-size pixels per pixel of a level.
    double scale(int level) const { return static_cast<double>(factor_ << level); }
    const cv::Mat& luma(int level) const { return luma_[static_cast<std::size_t>(level)]; }
    const cv::Mat& clipped(int level) const { return clipped_[static_cast<std::size_t>(level)]; }
    // Share of the picture that is clipped.
    double clippedShare() const { return clippedShare_; }
    // The luma's spread: near 0 for a flat picture.
    double contrast() const { return contrast_; }

    // A copy whose luma is mapped, by one monotone curve fitted to the two
    // histograms of unclipped pixels, to the brightness of `master`.
    Prepared matchedTo(const Prepared& master) const;

private:
    Prepared() = default;
    void buildPyramid();

    int width_ = 0, height_ = 0, factor_ = 1;
    std::vector<cv::Mat> luma_, clipped_;  // CV_32F, CV_8U (0 or 1)
    double clippedShare_ = 0, contrast_ = 0;
};

// How well a motion lines the image up with the master, judged on patches
// spread over the frame: each patch's remaining shift, from phase
// correlation, which ignores exposure.
struct Verification {
    int patches = 0;       // textured, unclipped patches that were compared
    double within = 0;     // share of them within 1.5 pixels
    double median = 1e9;   // median remaining shift, full-size pixels
    double worst = 1e9;    // largest remaining shift of an agreeing patch
    double slightlyOff = 0;  // share off by a few pixels (depth), the rest of the disagreeing ones show other things
    bool good() const { return patches >= 8 && within >= 0.7 && median <= 0.3; }
};

struct Registration {
    enum class Status { Aligned, Approximate, Failed };
    Status status = Status::Failed;
    std::string reason;  // in plain words, when not Aligned
    Motion motion;         // what the image should use (the previous one when failed)
    Motion found;          // what the search found, right or not
    int matches = 0;       // patch pairs that agree with the fitted motion
    double residual = 0;   // their median distance from it, full-size pixels
    Verification check;    // on patches the fit did not use
    // The agreeing pairs, full-size master and image positions.
    std::vector<Point> masterPoints, imagePoints;
    bool usedFeatures = false;  // the coarse start came from matched features
    // 0..1: how sure the program is of the result.
    double confidence() const;
};

struct RegistrationOptions {
    // The camera model; a spherical one needs f (master pixels), and scales
    // about `pivot` (the master's first control point; else its centre).
    bool spherical = false;
    double f = 0;
    std::optional<Point> pivot;
    // The motion the image has now (its previous control points): kept
    // unless the new one is clearly better.
    std::optional<Motion> previous;
    // Where to start instead of the coarse search (a motion known to be
    // close): only the finer levels are refined.
    std::optional<Motion> start;
    // Matched features as the last resort (slow); off for passes that only
    // gather pairs.
    bool allowFeatures = true;
    std::function<void(int percent)> progress;
};

// Registers `image` against `master` (both prepared, the image already
// brightness-matched). Deterministic: the same inputs give the same motion
// on any thread count.
Registration Register(const Prepared& master, const Prepared& image, const RegistrationOptions& options);

// How well `motion` lines `image` up with `master`.
Verification Verify(const Prepared& master, const Prepared& image, const Motion& motion);

// Two whole master pixels for the control points: well textured, one in the
// left third of the frame and one in the right.
std::pair<Point, Point> ControlPointPlaces(const Prepared& master);

// The motion of the spherical model nearest to a planar one (or another
// spherical one with a different f or pivot): fitted on a grid of points.
Motion SphericalNear(const Motion& from, double f, Point pivot, int masterWidth, int masterHeight, int imageWidth,
                     int imageHeight);

// Half the field of view (across the master's longer side) that the point
// pairs of the images fit best as rotations of one camera, and the rms of
// that fit and of the planar one; nothing when the pairs cannot tell.
// With `given` (half a field of view), also the rms for that one.
struct FieldOfViewEstimate {
    double halfFOV = 0;
    double sphericalRms = 0, planarRms = 0, givenRms = 0;
};
std::optional<FieldOfViewEstimate> EstimateFieldOfView(const std::vector<Registration>& registrations,
                                                      int masterWidth, int masterHeight,
                                                      const std::vector<std::pair<int, int>>& imageSizes,
                                                      std::optional<double> given = std::nullopt);

}  // namespace vantrel::autoalign
