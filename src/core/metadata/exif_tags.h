#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// The EXIF values the program reasons with: the camera and lens, the focal
// length, the exposure and the time of the shot. Everything is optional:
// a camera writes what it writes.
struct ExifTags {
    std::string Make, Model, LensMake, LensModel;
    std::string DateTimeOriginal;    // "YYYY:MM:DD HH:MM:SS"
    std::string SubSecTimeOriginal;  // digits of a fraction of a second
    std::optional<double> ExposureTime, FNumber, ExposureBiasValue;
    std::optional<double> ISO;
    std::optional<double> FocalLength;              // millimetres
    std::optional<double> FocalLengthIn35mmFormat;  // millimetres
    std::optional<double> FocalPlaneXResolution, FocalPlaneYResolution;
    std::optional<int> FocalPlaneResolutionUnit;  // 2 inches, 3 centimetres, 4 mm, 5 um
    std::optional<int> Orientation;
    std::optional<int> ExposureMode;  // 0 auto, 1 manual, 2 auto bracket
    std::optional<int> PixelXDimension, PixelYDimension;

    // Half the field of view across the longer side of a picture of
    // width x height pixels (as it is now, perhaps smaller than shot), in
    // radians: from the 35 mm equivalent focal length (36 mm across the
    // longer side), else from the focal length and the focal-plane
    // resolution. Nothing when neither is there or the values make no sense.
    std::optional<double> HalfFieldOfView(int width, int height) const;
    // The time of the shot in seconds since an arbitrary epoch, with the
    // sub-second digits; nothing without a readable DateTimeOriginal.
    std::optional<double> ShotTime() const;
};

// Reads the tags of an EXIF APP1 segment's data (its two length bytes, then
// "Exif\0\0" and the TIFF structure). Every read is bounds-checked; a
// malformed block gives what was readable before the fault.
ExifTags ReadExifTags(const std::vector<std::uint8_t>& segmentData);
// The same from the TIFF structure itself (a TIFF file's head, or an EXIF
// block without its prefix).
ExifTags ReadTiffTags(const std::uint8_t* tiff, std::size_t size);

// The tags of an image file's EXIF (JPEG); empty when it has none.
ExifTags ReadExifTagsOf(const std::string& path);

}  // namespace vantrel
