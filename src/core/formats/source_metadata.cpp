#include "formats/source_metadata.h"

#include <algorithm>

namespace vantrel {

bool SourceMetadata::read(const std::string& path) {
    *this = SourceMetadata();
    const ImageKind sourceKind = ImageKindOf(path);
    if (sourceKind == ImageKind::None || !FormatOf(sourceKind).readMetadata) return false;
    bool read = false;
    try {
        read = FormatOf(sourceKind).readMetadata(path, *this);
    } catch (...) {
        read = false;  // a source whose metadata cannot be read lends none
    }
    // What reading left out is said even when nothing else is there.
    note(sourceKind == ImageKind::Jpeg ? jpeg.Notices : image.notices);
    if (!read) return false;
    kind = sourceKind;
    return true;
}

void SourceMetadata::note(const std::vector<std::string>& more) const {
    for (const std::string& n : more)
        if (std::find(notices_.begin(), notices_.end(), n) == notices_.end()) notices_.push_back(n);
}

TJpegMetadata* SourceMetadata::jpegSegments() {
    if (kind == ImageKind::None) return nullptr;
    if (kind != ImageKind::Jpeg && !madeSegments_) {
        ImageMetadata forJpeg = image;
        forJpeg.exif = ExifForJpeg(image.exif);
        jpeg.ReadMetadataFrom(forJpeg);
        madeSegments_ = true;
        note(jpeg.Notices);
    }
    return jpeg.HasMetadata() ? &jpeg : nullptr;
}

ImageMetadata SourceMetadata::forImage(int width, int height) const {
    ImageMetadata m = kind == ImageKind::Jpeg ? MetadataOfJpeg(jpeg) : image;
    m.setImageSize(width, height);
    note(m.notices);
    return m;
}

ExifTags ReadImageExifTags(const std::string& path) {
    if (ImageKindOf(path) == ImageKind::Jpeg) return ReadExifTagsOf(path);
    SourceMetadata metadata;
    if (!metadata.read(path) || metadata.image.exif.empty()) return {};
    return ReadTiffTags(metadata.image.exif.data(), metadata.image.exif.size());
}

}  // namespace vantrel
