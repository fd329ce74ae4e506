#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

class TJpegMetadata;
class TiffReader;

// The metadata that goes from a source of any format into an output of any
// format: the EXIF block, the colour profile and the XMP packet.
struct ImageMetadata {
    std::vector<std::uint8_t> exif;  // a TIFF structure: header, IFD0 and the directories it points to
    std::vector<std::uint8_t> icc;   // the ICC profile
    std::string xmp;                 // the XMP packet
    // What could not be carried over whole, in words for the user.
    std::vector<std::string> notices;

    bool empty() const { return exif.empty() && icc.empty() && xmp.empty(); }
    // Records width x height where the EXIF block and the XMP packet record
    // the image size (neither changes length; an entry that cannot take the
    // size is left alone).
    void setImageSize(int width, int height);
};

// Whether a TIFF tag describes the picture (and so is carried), rather than
// how a file stores its pixels.
bool IsCarriedTiffTag(std::uint16_t tag);

// A JPEG's: its EXIF block, the ICC chunks joined in sequence, its XMP.
ImageMetadata MetadataOfJpeg(const TJpegMetadata& jpeg);
// A TIFF file's: its descriptive IFD0 entries with the EXIF and GPS
// directories made into an EXIF block, its ICC profile and XMP tags.
ImageMetadata MetadataOfTiff(const TiffReader& file);

// The block rebuilt from its directories alone, without the thumbnail and
// the maker note (whose offsets a move would break), and without values
// over 1 KB unless `keepLarge`: for a JPEG segment it does not fit whole.
std::vector<std::uint8_t> CompactExif(const std::vector<std::uint8_t>& exif, bool keepLarge);

// An EXIF block made valid for a TIFF file: without the tags that describe
// a JPEG's stream and without the thumbnail directory.
std::vector<std::uint8_t> ExifForTiff(const std::vector<std::uint8_t>& exif);
// An EXIF block made valid for a JPEG: with the resolution, YCbCr
// positioning, components and pixel size a JPEG's EXIF must hold, added
// where missing.
std::vector<std::uint8_t> ExifForJpeg(const std::vector<std::uint8_t>& exif);

}  // namespace vantrel
