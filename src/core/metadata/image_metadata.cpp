#include "metadata/image_metadata.h"

#include "metadata/jpeg_metadata.h"
#include "metadata/tiff_directory.h"
#include "metadata/xmp_packet.h"

namespace vantrel {

namespace {

constexpr std::uint8_t kExifPrefix[] = {'E', 'x', 'i', 'f', 0, 0};

// Tags that describe how a file stores its pixels, not the picture: they
// belong to the file that holds them and are never carried.
bool IsStructureTag(std::uint16_t tag) {
    switch (tag) {
        case 254: case 255: case 256: case 257: case 258: case 259: case 262: case 263: case 266:
        case 273: case 277: case 278: case 279: case 280: case 281: case 284: case 288: case 289:
        case 290: case 291: case 292: case 293: case 317: case 320: case 322: case 323: case 324:
        case 325: case 330: case 338: case 339: case 340: case 341: case 347: case 512: case 513:
        case 514: case 515: case 517: case 518: case 519: case 520: case 521: case 529: case 530:
        case 531: case 532: case 37724:
        case kTagXmp: case kTagIccProfile: case kTagExifIfd: case kTagGpsIfd:
            return true;
        default:
            return false;
    }
}

}  // namespace

bool IsCarriedTiffTag(std::uint16_t tag) { return !IsStructureTag(tag); }

void ImageMetadata::setImageSize(int width, int height) {
    if (!exif.empty()) {
        std::vector<std::uint8_t> data = {0, 0};
        data.insert(data.end(), std::begin(kExifPrefix), std::end(kExifPrefix));
        data.insert(data.end(), exif.begin(), exif.end());
        TExifDirectory dir = ReadExifDirectory(data);
        if (WriteExifDimensions(data, dir, width, height)) exif.assign(data.begin() + 8, data.end());
    }
    if (!xmp.empty()) {
        const std::string_view id = SegmentIdentifier(kXmpIdentifier);
        std::vector<std::uint8_t> data = {0, 0};
        data.insert(data.end(), id.begin(), id.end());
        data.insert(data.end(), xmp.begin(), xmp.end());
        if (UpdateXmpDimensions(data, width, height)) xmp.assign(data.begin() + 2 + static_cast<std::ptrdiff_t>(id.size()), data.end());
    }
}

ImageMetadata MetadataOfJpeg(const TJpegMetadata& jpeg) {
    ImageMetadata m;
    if (const TJpegSegment* exif = jpeg.ExifSegment(); exif && exif->Data.size() > 8)
        m.exif.assign(exif->Data.begin() + 8, exif->Data.end());
    // The carried segments hold the ICC chunks together, in sequence.
    for (const TJpegSegment* s : jpeg.CarriedSegments())
        if (IsIccChunk(*s)) m.icc.insert(m.icc.end(), s->Data.begin() + 16, s->Data.end());
    const std::size_t xmpStart = 2 + SegmentIdentifier(kXmpIdentifier).size();
    if (const TJpegSegment* xmp = jpeg.XmpSegment(); xmp && xmp->Data.size() > xmpStart)
        m.xmp.assign(xmp->Data.begin() + static_cast<std::ptrdiff_t>(xmpStart), xmp->Data.end());
    return m;
}

ImageMetadata MetadataOfTiff(const TiffReader& file) {
    ImageMetadata m;
    const std::optional<TiffDirectory> ifd0 = file.valid() ? file.directory(file.firstDirectory()) : std::nullopt;
    if (!ifd0) return m;
    if (const TiffEntry* icc = ifd0->find(kTagIccProfile)) m.icc = icc->value;
    if (const TiffEntry* xmp = ifd0->find(kTagXmp)) m.xmp.assign(xmp->value.begin(), xmp->value.end());

    // A new block in the file's byte order: its sub-directories first, then IFD0.
    TiffWriter block(file.bigEndian());
    auto subDirectory = [&](const TiffDirectory& parent, std::uint16_t pointer) -> std::optional<TiffDirectory> {
        const TiffEntry* entry = parent.find(pointer);
        const std::optional<std::uint32_t> offset = entry ? file.number(*entry) : std::nullopt;
        return offset ? file.directory(*offset) : std::nullopt;
    };
    std::vector<TiffEntry> top;
    for (const TiffEntry& e : ifd0->entries)
        if (!IsStructureTag(e.tag) && e.type != 13) top.push_back(e);
    if (std::optional<TiffDirectory> exif = subDirectory(*ifd0, kTagExifIfd)) {
        std::vector<TiffEntry> entries;
        for (const TiffEntry& e : exif->entries)
            if (e.tag != kTagInteropIfd && e.type != 13) entries.push_back(e);
        if (std::optional<TiffDirectory> interop = subDirectory(*exif, kTagInteropIfd))
            entries.push_back(block.longs(kTagInteropIfd, {block.directory(interop->entries)}));
        top.push_back(block.longs(kTagExifIfd, {block.directory(entries)}));
    }
    if (std::optional<TiffDirectory> gps = subDirectory(*ifd0, kTagGpsIfd))
        top.push_back(block.longs(kTagGpsIfd, {block.directory(gps->entries)}));
    if (top.empty()) return m;
    block.setFirstDirectory(block.directory(top));
    m.exif = block.take();
    return m;
}

}  // namespace vantrel
