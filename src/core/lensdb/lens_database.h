#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "imaging/bitmap.h"
#include "lens/load_correction.h"
#include "metadata/exif_tags.h"

namespace vantrel {

// lensfun's distortion models, each a radial polynomial in its normalised
// radius r: ptlens r(a r^3 + b r^2 + c r + 1 - a - b - c), poly3
// r(1 - k1 + k1 r^2), poly5 r(1 + k1 r^2 + k2 r^4).
enum class DistortionKind { Ptlens, Poly3, Poly5 };

// lensfun's normalised radius per pixel for a width x height picture taken
// at `cropFactor` with a lens calibrated at `calibrationCrop` on frames of
// `calibrationAspect`: r = 1 lies at half the shorter side (measured
// between pixel centres) of the calibration frame, carried to this frame
// through the diagonals, on which crop factors are defined.
double LensfunUnitsPerPixel(int width, int height, double cropFactor, double calibrationCrop,
                            double calibrationAspect);

// A lensfun distortion as this program's values for a width x height
// picture: the same polynomial form, normalised by min(width, height) div 2,
// with D = 1 - (A + B + C) and the scale that the renormalisation needs
// (before any enlargement against fill). poly5 has no exact counterpart and
// is fitted by least squares over the frame; `deviation` is the worst
// distance in pixels between the two over the frame (0 for the others).
struct ConvertedDistortion {
    TLensCorrection correction;
    double deviation = 0;
};
ConvertedDistortion ConvertDistortion(DistortionKind kind, const double terms[3], double unitsPerPixel, int width,
                                      int height);

// What the database holds for one photograph.
struct LensMatch {
    std::string camera;  // empty when the camera is not in the database
    std::string lens;
    std::string model;  // "ptlens", "poly3", "poly5"
    double focalLength = 0, cropFactor = 0;
    TLensCorrection correction;  // scaled so the corrected frame has no fill at its edges
    double deviation = 0;        // pixels; see ConvertedDistortion, plus a lens centre the model cannot shift
    std::size_t entry = static_cast<std::size_t>(-1);  // the lens in LensDatabase::lenses()

    std::string profileName() const;  // "<lens> at <focal> mm"
    std::string describe() const;     // one line: lens, camera, focal length, model, values
};

struct LensLookup {
    std::optional<LensMatch> match;
    std::string problem;  // why there is none, naming what was searched
};

struct LensEntry {
    std::string name;    // maker and model
    std::string mounts;  // joined by ", "
};

// The lensfun database installed on the system, loaded once for the whole
// run on first use.
class LensDatabase {
public:
    // The one the program uses: loaded on first use, once per run.
    static const LensDatabase& Shared();
    // A database of its own, loaded now (for measuring the load).
    LensDatabase();
    ~LensDatabase();

    bool empty() const;
    // The camera and lens an image's EXIF names, at its focal length, for a
    // picture of width x height.
    LensLookup lookup(const ExifTags& exif, int width, int height) const;
    // A lens of lenses() chosen by hand, with the focal length and crop
    // factor the EXIF gives (or the lens's shortest focal length and its
    // calibration crop).
    LensLookup lookupLens(std::size_t index, const ExifTags& exif, int width, int height) const;
    // Every lens with distortion data, sorted by name.
    const std::vector<LensEntry>& lenses() const;
    // Brightens the picture's corners by the database's vignetting data for
    // the matched lens at the photo's own focal length and aperture (`exif`;
    // else the match's focal length and the lens's widest aperture), through
    // lensfun's colour modifier, before any distortion correction. Empty
    // when done; else why not (no data for them), the picture untouched.
    std::string correctVignetting(const LensMatch& match, const ExifTags& exif, Bitmap& picture) const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace vantrel
