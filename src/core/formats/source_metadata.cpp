#include "formats/source_metadata.h"

namespace vantrel {

bool SourceMetadata::read(const std::string& path) {
    *this = SourceMetadata();
    const ImageKind sourceKind = ImageKindOf(path);
    if (sourceKind == ImageKind::None || !FormatOf(sourceKind).readMetadata) return false;
    try {
        if (!FormatOf(sourceKind).readMetadata(path, *this)) return false;
    } catch (...) {
        return false;  // a source whose metadata cannot be read lends none
    }
    kind = sourceKind;
    return true;
}

TJpegMetadata* SourceMetadata::jpegSegments() {
    if (kind == ImageKind::None) return nullptr;
    if (kind != ImageKind::Jpeg && !madeSegments_) {
        ImageMetadata forJpeg = image;
        forJpeg.exif = ExifForJpeg(image.exif);
        jpeg.ReadMetadataFrom(forJpeg);
        madeSegments_ = true;
    }
    return jpeg.HasMetadata() ? &jpeg : nullptr;
}

ImageMetadata SourceMetadata::forImage(int width, int height) const {
    ImageMetadata m = kind == ImageKind::Jpeg ? MetadataOfJpeg(jpeg) : image;
    m.setImageSize(width, height);
    return m;
}

ExifTags ReadImageExifTags(const std::string& path) {
    if (ImageKindOf(path) == ImageKind::Jpeg) return ReadExifTagsOf(path);
    SourceMetadata metadata;
    if (!metadata.read(path) || metadata.image.exif.empty()) return {};
    return ReadTiffTags(metadata.image.exif.data(), metadata.image.exif.size());
}

}  // namespace vantrel
