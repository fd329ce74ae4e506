#include "metadata/image_metadata.h"

#include <algorithm>
#include <functional>
#include <optional>

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
        // As the segment data of a JPEG's APP1: two length bytes, "Exif\0\0", the block.
        std::vector<std::uint8_t> data(8 + exif.size(), 0);
        std::copy(std::begin(kExifPrefix), std::end(kExifPrefix), data.begin() + 2);
        std::copy(exif.begin(), exif.end(), data.begin() + 8);
        TExifDirectory dir = ReadExifDirectory(data);
        if (WriteExifDimensions(data, dir, width, height)) exif.assign(data.begin() + 8, data.end());
    }
    if (!xmp.empty()) {
        const std::string_view id = SegmentIdentifier(kXmpIdentifier);
        std::string segment(2, '\0');  // as a JPEG's APP1 data: length, identifier, packet
        segment.append(id).append(xmp);
        std::vector<std::uint8_t> data(segment.begin(), segment.end());
        if (UpdateXmpDimensions(data, width, height, true)) xmp.assign(data.begin() + 2 + static_cast<std::ptrdiff_t>(id.size()), data.end());
    }
}

namespace {

// The Extended XMP with `guid`, assembled from its segments (identifier,
// GUID, full length and offset, both big-endian, then the part); empty
// unless every byte is there.
std::string ExtendedXmpOf(const TJpegMetadata& jpeg, const std::string& guid) {
    const std::string_view id = SegmentIdentifier(kExtendedXmpIdentifier);
    const std::size_t head = 2 + id.size() + 32 + 8;
    std::string packet;
    std::vector<bool> filled;
    for (const TJpegSegment& s : jpeg.Segments) {
        if (s.Marker != 0xE1 || s.Data.size() <= head || !std::equal(id.begin(), id.end(), s.Data.begin() + 2)) continue;
        if (std::string(s.Data.begin() + 2 + static_cast<std::ptrdiff_t>(id.size()),
                        s.Data.begin() + 2 + static_cast<std::ptrdiff_t>(id.size()) + 32) != guid)
            continue;
        auto number = [&](std::size_t at) {
            return std::uint32_t{s.Data[at]} << 24 | std::uint32_t{s.Data[at + 1]} << 16 | std::uint32_t{s.Data[at + 2]} << 8 |
                   s.Data[at + 3];
        };
        const std::uint32_t total = number(head - 8), offset = number(head - 4);
        if (total > (64u << 20)) return {};
        if (packet.empty()) packet.assign(total, '\0'), filled.assign(total, false);
        const std::size_t n = s.Data.size() - head;
        if (total != packet.size() || offset > total || n > total - offset) return {};
        std::copy(s.Data.begin() + static_cast<std::ptrdiff_t>(head), s.Data.end(), packet.begin() + offset);
        std::fill(filled.begin() + offset, filled.begin() + static_cast<std::ptrdiff_t>(offset + n), true);
    }
    if (packet.empty() || std::find(filled.begin(), filled.end(), false) != filled.end()) return {};
    return XmpAsUtf8(packet);
}

}  // namespace

ImageMetadata MetadataOfJpeg(const TJpegMetadata& jpeg) {
    ImageMetadata m;
    if (const TJpegSegment* exif = jpeg.ExifSegment(); exif && exif->Data.size() > 8)
        m.exif.assign(exif->Data.begin() + 8, exif->Data.end());
    // The carried segments hold the ICC chunks together, in sequence.
    for (const TJpegSegment* s : jpeg.CarriedSegments())
        if (IsIccChunk(*s)) m.icc.insert(m.icc.end(), s->Data.begin() + 16, s->Data.end());
    const std::size_t xmpStart = 2 + SegmentIdentifier(kXmpIdentifier).size();
    if (const TJpegSegment* xmp = jpeg.XmpSegment(); xmp && xmp->Data.size() > xmpStart)
        m.xmp = XmpAsUtf8(std::string_view(reinterpret_cast<const char*>(xmp->Data.data()) + xmpStart,
                                           xmp->Data.size() - xmpStart));
    m.notices = jpeg.Notices;
    // TIFF and PNG have no segment limit: an Extended XMP joins the main packet.
    if (const std::string guid = ExtendedXmpGuid(m.xmp); !guid.empty()) {
        const std::string extended = ExtendedXmpOf(jpeg, guid);
        if (extended.empty()) m.notices.push_back("The Extended XMP the packet names is incomplete, so it was left out.");
        m.xmp = MergeExtendedXmp(m.xmp, extended);
    }
    return m;
}

namespace {

// Where an entry's value lies in the structure, when it is not in the entry itself.
std::optional<std::pair<std::uint64_t, std::uint64_t>> ValueRange(const TiffReader& file, const TiffEntry& e) {
    const std::uint64_t size = static_cast<std::uint64_t>(e.count) * static_cast<std::uint64_t>(TiffTypeSize(e.type));
    if (size <= 4) return std::nullopt;
    const std::uint64_t at = file.get32(e.field.data());
    return std::pair{at, at + size};
}

std::vector<std::uint32_t> Numbers(const TiffReader& file, const TiffEntry* e) {
    std::vector<std::uint32_t> out;
    if (!e) return out;
    const int size = TiffTypeSize(e->type);
    for (std::size_t i = 0; (e->type == kTiffShort || e->type == kTiffLong) && (i + 1) * size <= e->value.size(); ++i)
        out.push_back(size == 2 ? file.get16(e->value.data() + i * 2) : file.get32(e->value.data() + i * 4));
    return out;
}

// A new block in the structure's byte order with its descriptive IFD0
// entries and its EXIF, interoperability and GPS directories, rebuilt from
// scratch: without the thumbnail and the maker note (whose offsets a move
// would break), and without values over 1 KB unless `keepLarge`. Empty when
// the structure cannot be read.
std::vector<std::uint8_t> RebuiltExif(const TiffReader& file, bool keepLarge) {
    const std::optional<TiffDirectory> ifd0 = file.valid() ? file.directory(file.firstDirectory()) : std::nullopt;
    if (!ifd0) return {};
    auto kept = [&](const TiffEntry& e) {
        return e.type != 13 && e.tag != kTagMakerNote && (keepLarge || e.value.size() <= 1024);
    };
    auto sub = [&](const TiffDirectory& parent, std::uint16_t pointer) -> std::optional<TiffDirectory> {
        const TiffEntry* entry = parent.find(pointer);
        const std::optional<std::uint32_t> offset = entry ? file.number(*entry) : std::nullopt;
        return offset ? file.directory(*offset) : std::nullopt;
    };
    TiffWriter block(file.bigEndian());
    std::vector<TiffEntry> top;
    for (const TiffEntry& e : ifd0->entries)
        if (!IsStructureTag(e.tag) && kept(e)) top.push_back(e);
    if (const std::optional<TiffDirectory> exifIfd = sub(*ifd0, kTagExifIfd)) {
        std::vector<TiffEntry> entries;
        for (const TiffEntry& e : exifIfd->entries)
            if (e.tag != kTagInteropIfd && kept(e)) entries.push_back(e);
        if (const std::optional<TiffDirectory> interop = sub(*exifIfd, kTagInteropIfd))
            entries.push_back(block.longs(kTagInteropIfd, {block.directory(interop->entries)}));
        top.push_back(block.longs(kTagExifIfd, {block.directory(entries)}));
    }
    if (const std::optional<TiffDirectory> gps = sub(*ifd0, kTagGpsIfd))
        top.push_back(block.longs(kTagGpsIfd, {block.directory(gps->entries)}));
    if (top.empty()) return {};
    block.setFirstDirectory(block.directory(top));
    return block.take();
}

// A prefix of a TIFF file this long may serve as the EXIF block itself.
constexpr std::uint64_t kMaxExifPrefix = 4u << 20;

}  // namespace

ImageMetadata MetadataOfTiff(const TiffReader& file) {
    ImageMetadata m;
    const std::optional<TiffDirectory> ifd0 = file.valid() ? file.directory(file.firstDirectory()) : std::nullopt;
    if (!ifd0) return m;
    if (const TiffEntry* icc = ifd0->find(kTagIccProfile)) m.icc = icc->value;
    if (const TiffEntry* xmp = ifd0->find(kTagXmp))
        m.xmp = XmpAsUtf8(std::string_view(reinterpret_cast<const char*>(xmp->value.data()), xmp->value.size()));

    auto subDirectory = [&](const TiffDirectory& parent, std::uint16_t pointer, std::uint32_t* at = nullptr)
        -> std::optional<TiffDirectory> {
        const TiffEntry* entry = parent.find(pointer);
        const std::optional<std::uint32_t> offset = entry ? file.number(*entry) : std::nullopt;
        if (offset && at) *at = *offset;
        return offset ? file.directory(*offset) : std::nullopt;
    };
    std::vector<TiffEntry> top;
    for (const TiffEntry& e : ifd0->entries)
        if (!IsStructureTag(e.tag) && e.type != 13) top.push_back(e);
    std::uint32_t exifAt = 0, gpsAt = 0, interopAt = 0;
    const std::optional<TiffDirectory> exif = subDirectory(*ifd0, kTagExifIfd, &exifAt);
    const std::optional<TiffDirectory> gps = subDirectory(*ifd0, kTagGpsIfd, &gpsAt);
    const std::optional<TiffDirectory> interop = exif ? subDirectory(*exif, kTagInteropIfd, &interopAt) : std::nullopt;
    if (top.empty() && !exif && !gps) return m;

    // Where the file's EXIF data all lies near its start (as in the files
    // this program writes, whose EXIF block leads), that start is the block:
    // every offset in it stays true, a maker note's own ones included.
    std::uint64_t end = 8;
    auto cover = [&](const std::vector<TiffEntry>& entries, std::uint32_t directoryAt) {
        if (directoryAt) end = std::max<std::uint64_t>(end, directoryAt + 6 + 12 * std::uint64_t{entries.size()});
        for (const TiffEntry& e : entries)
            if (const auto range = ValueRange(file, e)) end = std::max(end, range->second);
    };
    cover(top, 0);
    if (exif) cover(exif->entries, exifAt);
    if (gps) cover(gps->entries, gpsAt);
    if (interop) cover(interop->entries, interopAt);
    if (end <= kMaxExifPrefix) {
        std::vector<std::uint8_t> prefix = file.fetch(0, static_cast<std::size_t>(end));
        if (prefix.size() == end) {
            // Pixels are not metadata: any strip or tile inside is blanked.
            const bool tiled = ifd0->find(324) != nullptr;
            const std::vector<std::uint32_t> offsets = Numbers(file, ifd0->find(tiled ? 324 : kTagStripOffsets));
            const std::vector<std::uint32_t> counts = Numbers(file, ifd0->find(tiled ? 325 : kTagStripByteCounts));
            for (std::size_t i = 0; i < std::min(offsets.size(), counts.size()); ++i)
                // A strip claimed over the header would blank the byte order.
                for (std::uint64_t b = std::max<std::uint64_t>(offsets[i], 8);
                     b < std::min<std::uint64_t>(end, std::uint64_t{offsets[i]} + counts[i]); ++b)
                    prefix[b] = 0;
            TiffWriter block(std::move(prefix));
            std::vector<TiffEntry> entries;
            for (const TiffEntry& e : ifd0->entries)
                if ((!IsStructureTag(e.tag) && e.type != 13) || (e.tag == kTagExifIfd && exif) || (e.tag == kTagGpsIfd && gps)) {
                    entries.push_back(e);
                    entries.back().keepField = true;
                }
            block.setFirstDirectory(block.directory(entries));
            m.exif = block.take();
            return m;
        }
    }

    // Else a new block, its maker note left out (moved, it would point at the wrong bytes).
    if (exif && exif->find(kTagMakerNote))
        m.notices.push_back("The maker note could not be kept where its offsets point, so it was left out.");
    m.exif = RebuiltExif(file, true);
    return m;
}

namespace {

// The block with a new IFD0 and EXIF directory appended (the old ones stay
// as unused bytes, so every offset into the block stays true): entries in
// `drop` left out, those in `add` added where missing. Unchanged when
// nothing would change or the block cannot be read.
std::vector<std::uint8_t> Redirected(const std::vector<std::uint8_t>& block, const std::vector<std::uint16_t>& drop,
                                     const std::function<std::vector<TiffEntry>(const TiffWriter&, bool exifDirectory)>& add,
                                     bool keepNextDirectory) {
    const TiffReader file(BytesFetch(block.data(), block.size()));
    if (!file.valid()) return block;
    std::uint32_t next = 0;
    std::optional<TiffDirectory> ifd0 = file.directory(file.firstDirectory(), &next);
    if (!ifd0) return block;
    const TiffEntry* pointer = ifd0->find(kTagExifIfd);
    const std::optional<std::uint32_t> exifAt = pointer ? file.number(*pointer) : std::nullopt;
    std::optional<TiffDirectory> exif = exifAt ? file.directory(*exifAt) : std::nullopt;

    TiffWriter out{std::vector<std::uint8_t>(block)};
    bool changed = !keepNextDirectory && next != 0;
    auto rebuild = [&](const TiffDirectory& d, bool exifDirectory) {
        std::vector<TiffEntry> entries;
        for (const TiffEntry& e : d.entries) {
            if (std::find(drop.begin(), drop.end(), e.tag) != drop.end()) {
                changed = true;
                continue;
            }
            entries.push_back(e);
            entries.back().keepField = true;
        }
        for (TiffEntry& e : add(out, exifDirectory))
            if (!d.find(e.tag)) {
                entries.push_back(std::move(e));
                changed = true;
            }
        return entries;
    };
    std::vector<TiffEntry> top = rebuild(*ifd0, false);
    if (exif) {
        const std::vector<TiffEntry> entries = rebuild(*exif, true);
        std::erase_if(top, [](const TiffEntry& e) { return e.tag == kTagExifIfd; });
        top.push_back(out.longs(kTagExifIfd, {out.directory(entries)}));
    }
    if (!changed) return block;
    out.setFirstDirectory(out.directory(top, keepNextDirectory ? next : 0));
    return out.take();
}

}  // namespace

std::vector<std::uint8_t> CompactExif(const std::vector<std::uint8_t>& exif, bool keepLarge) {
    return RebuiltExif(TiffReader(BytesFetch(exif.data(), exif.size())), keepLarge);
}

std::vector<std::uint8_t> ExifForTiff(const std::vector<std::uint8_t>& exif) {
    if (exif.empty()) return exif;
    // ComponentsConfiguration, CompressedBitsPerPixel, PixelX/YDimension and
    // the interoperability directory describe a JPEG's stream; the thumbnail
    // directory is a JPEG's too.
    return Redirected(exif, {0x9101, 0x9102, 0xA002, 0xA003, kTagInteropIfd},
                      [](const TiffWriter&, bool) { return std::vector<TiffEntry>(); }, false);
}

std::vector<std::uint8_t> ExifForJpeg(const std::vector<std::uint8_t>& exif) {
    if (exif.empty()) return exif;
    // What a JPEG's EXIF must hold; the pixel size is set when the file is written.
    return Redirected(exif, {}, [](const TiffWriter& w, bool exifDirectory) {
        if (exifDirectory)
            return std::vector<TiffEntry>{w.longs(0xA002, {1}), w.longs(0xA003, {1}),
                                          TiffWriter::bytes(0x9101, kTiffUndefined, {1, 2, 3, 0})};
        return std::vector<TiffEntry>{w.rational(kTagXResolution, 72, 1), w.rational(kTagYResolution, 72, 1),
                                      w.shorts(kTagResolutionUnit, {2}), w.shorts(0x0213, {1})};
    }, true);
}

}  // namespace vantrel
