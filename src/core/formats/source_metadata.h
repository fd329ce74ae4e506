#pragma once

#include <string>

#include "formats/image_format.h"
#include "metadata/exif_tags.h"
#include "metadata/image_metadata.h"
#include "metadata/jpeg_metadata.h"

namespace vantrel {

// What a source image lends the file written from it. Read before anything
// is written, since an output may replace its own or another's source.
struct SourceMetadata {
    ImageKind kind = ImageKind::None;
    TJpegMetadata jpeg;   // a JPEG source's segments as they stand
    ImageMetadata image;  // a TIFF or PNG source's EXIF, ICC and XMP

    // Reads `path` by its format; false when it has nothing to carry or
    // cannot be read.
    bool read(const std::string& path);
    bool empty() const { return kind == ImageKind::None; }

    // For a JPEG written from it: the source's own segments, or segments
    // made from another format's metadata; null when there are none.
    TJpegMetadata* jpegSegments();
    // For a TIFF or PNG written from it: EXIF, ICC and XMP, with
    // width x height recorded as the image size.
    ImageMetadata forImage(int width, int height) const;
    // What the outputs made from it could not carry whole (a profile left
    // out, an EXIF block cut to fit a JPEG), in words for the user.
    const std::vector<std::string>& notices() const { return notices_; }

private:
    void note(const std::vector<std::string>& more) const;
    bool madeSegments_ = false;
    mutable std::vector<std::string> notices_;
};

// The EXIF tags of an image of any format the loader reads, found where its
// format keeps them (empty when it has none or they cannot be read).
ExifTags ReadImageExifTags(const std::string& path);

}  // namespace vantrel
