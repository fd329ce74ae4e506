#pragma once

#include <optional>
#include <string>

#include "metadata/exif_tags.h"

namespace vantrel {

// Who took a picture, with what: read through exiv2, which decodes the lens
// from the makers' notes (Canon, Nikon, Olympus, Panasonic, Pentax, Sony,
// Minolta and the rest) where the EXIF's own LensModel is missing.
struct CameraIdentity {
    std::string make, model;
    std::string lens;     // as exiv2 decodes it; empty when nothing names it
    std::string lensTag;  // the tag it came from, e.g. "Exif.OlympusEq.LensType"
    std::optional<double> focalLength, focalLength35mm, fNumber, focusDistance;  // mm, mm, -, m
    // The shot's place in a bracket or burst as the makers' note counts it
    // (1 for the first); nothing for a single shot or a camera that does not say.
    std::optional<int> shotInSequence;
};

// The identity an image file records; nothing when exiv2 cannot read the
// file (or finds no EXIF). Never throws.
std::optional<CameraIdentity> ReadCameraIdentity(const std::string& path);

// The EXIF tags the lens lookup reasons with, from the file's own EXIF with
// what exiv2 adds: the lens a makers' note names, a make, model or focal
// length the EXIF block lacks. `lensTag` (when given) gets where the lens
// name came from.
ExifTags LensTagsOf(const std::string& path, std::string* lensTag = nullptr);

}  // namespace vantrel
