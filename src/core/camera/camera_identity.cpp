#include "camera/camera_identity.h"

#include <exiv2/exiv2.hpp>

#include <cctype>
#include <cmath>
#include <cstring>
#include <mutex>

#include "formats/source_metadata.h"
#include "metadata/exiv2_session.h"
#include "metadata/tiff_directory.h"

namespace vantrel {

namespace {

// exiv2's XMP parser keeps global state: one reader at a time.
// A decoded value that names nothing: "n/a", "(0)", "Unknown (...)", a bare number.
bool Names(const std::string& text) {
    if (text.empty() || text == "n/a" || text.front() == '(' || text.rfind("Unknown", 0) == 0) return false;
    for (const char c : text)
        if (std::isalpha(static_cast<unsigned char>(c))) return true;
    return false;
}

// Where cameras name their lens, most specific first: the EXIF's own tag,
// then the makers' notes that exiv2 decodes to a name.
constexpr const char* kLensKeys[] = {
    "Exif.Photo.LensModel",      "Exif.Canon.LensModel",       "Exif.CanonCs.LensType",   "Exif.NikonLd3.LensIDNumber",
    "Exif.NikonLd2.LensIDNumber", "Exif.NikonLd1.LensIDNumber", "Exif.OlympusEq.LensType", "Exif.OlympusEq.LensModel",
    "Exif.Panasonic.LensType",   "Exif.Pentax.LensType",       "Exif.PentaxDng.LensType", "Exif.Sony1.LensID",
    "Exif.Sony2.LensID",         "Exif.Minolta.LensID",        "Exif.Samsung2.LensType",  "Exif.Image.LensModel",
};

// Where makers' notes count the shots of a bracket or burst (0 outside one).
constexpr const char* kSequenceKeys[] = {"Exif.CanonFi.BracketShotNumber", "Exif.Sony1.SequenceNumber",
                                         "Exif.Sony2.SequenceNumber"};

// A key this build of exiv2 does not know throws: that is no tag.
Exiv2::ExifData::const_iterator Find(const Exiv2::ExifData& data, const char* key) {
    try {
        return data.findKey(Exiv2::ExifKey(key));
    } catch (...) {
        return data.end();
    }
}

std::optional<double> Number(const Exiv2::ExifData& data, const char* key) {
    const auto it = Find(data, key);
    if (it == data.end() || it->count() == 0) return std::nullopt;
    const float v = it->toFloat(0);
    if (!(v > 0) || !std::isfinite(v)) return std::nullopt;
    return static_cast<double>(v);
}

std::string Text(const Exiv2::ExifData& data, const char* key) {
    const auto it = Find(data, key);
    if (it == data.end()) return {};
    std::string text = it->toString();
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0')) text.pop_back();
    return text;
}

// The lens type in an Olympus maker note's equipment directory, where the
// camera stored that directory as plain bytes (the E-1 and its time), which
// exiv2 does not open: found by the directory walk, named by exiv2's own
// table. Six bytes: make, unknown, model, sub-model.
std::string OlympusEquipmentLens(const std::string& path, Exiv2::ExifData& data) {
    SourceMetadata source;
    if (!source.read(path)) return {};
    std::vector<std::uint8_t> block = source.image.exif;
    if (const TJpegSegment* exif = source.jpeg.ExifSegment(); exif && exif->Data.size() > 8)
        block.assign(exif->Data.begin() + 8, exif->Data.end());
    const TiffReader tiff(BytesFetch(block.data(), block.size()));
    auto sub = [](const TiffReader& r, const TiffDirectory& d, std::uint16_t tag) -> std::optional<TiffDirectory> {
        const TiffEntry* e = d.find(tag);
        const std::optional<std::uint32_t> at = e ? r.number(*e) : std::nullopt;
        return at ? r.directory(*at) : std::nullopt;
    };
    const std::optional<TiffDirectory> ifd0 = tiff.valid() ? tiff.directory(tiff.firstDirectory()) : std::nullopt;
    const std::optional<TiffDirectory> exifIfd = ifd0 ? sub(tiff, *ifd0, kTagExifIfd) : std::nullopt;
    const TiffEntry* note = exifIfd ? exifIfd->find(kTagMakerNote) : nullptr;
    if (!note || note->value.size() < 16) return {};
    // Older notes ("OLYMP\0", a version, the directory) count offsets from
    // the EXIF block's start; newer ones ("OLYMPUS\0", a byte order and
    // version, the directory) from the note's own start.
    auto equipmentLens = [](const TiffReader& r, std::uint32_t directoryAt) -> std::vector<std::uint8_t> {
        const std::optional<TiffDirectory> top = r.directory(directoryAt);
        const TiffEntry* pointer = top ? top->find(0x2010) : nullptr;
        // Plain bytes here: the directory stands where the entry's value does.
        const std::optional<TiffDirectory> equipment =
            pointer && pointer->value.size() > 4 ? r.directory(r.get32(pointer->field.data())) : std::nullopt;
        const TiffEntry* lens = equipment ? equipment->find(0x0201) : nullptr;
        return lens ? lens->value : std::vector<std::uint8_t>();
    };
    std::vector<std::uint8_t> type;
    std::vector<std::uint8_t> own;
    std::optional<TiffReader> ownReader;
    if (std::memcmp(note->value.data(), "OLYMP\0", 6) == 0) {
        type = equipmentLens(tiff, tiff.get32(note->field.data()) + 8);
    } else if (std::memcmp(note->value.data(), "OLYMPUS\0", 8) == 0) {
        own = note->value;
        const bool big = own[8] == 'M';
        const std::uint8_t header[8] = {own[8], own[9], 0, 0, 0, 0, 0, 0};
        std::memcpy(own.data(), header, 8);
        own[big ? 3 : 2] = 42;
        own[big ? 7 : 4] = 12;  // the directory after the byte order and version
        ownReader.emplace(BytesFetch(own.data(), own.size()));
        if (ownReader->valid()) type = equipmentLens(*ownReader, ownReader->firstDirectory());
    }
    if (type.size() != 6) return {};
    Exiv2::Value::AutoPtr value = Exiv2::Value::create(Exiv2::unsignedByte);
    value->read(type.data(), 6, Exiv2::littleEndian);
    const Exiv2::ExifKey key("Exif.OlympusEq.LensType");
    data.add(key, value.get());
    const auto it = data.findKey(key);
    return it == data.end() ? std::string() : it->print(&data);
}

}  // namespace

std::optional<CameraIdentity> ReadCameraIdentity(const std::string& path) {
    const Exiv2Session session;
    try {
        Exiv2::Image::AutoPtr image = Exiv2::ImageFactory::open(path);
        if (!image.get()) return std::nullopt;
        image->readMetadata();
        Exiv2::ExifData& data = image->exifData();
        if (data.empty()) return std::nullopt;
        CameraIdentity id;
        id.make = Text(data, "Exif.Image.Make");
        id.model = Text(data, "Exif.Image.Model");
        for (const char* key : kLensKeys) {
            const auto it = Find(data, key);
            if (it == data.end()) continue;
            const std::string name = it->print(&data);
            if (!Names(name)) continue;
            id.lens = name;
            id.lensTag = key;
            break;
        }
        if (id.lens.empty() && Find(data, "Exif.Olympus.Equipment") != data.end())
            if (const std::string name = OlympusEquipmentLens(path, data); Names(name)) {
                id.lens = name;
                id.lensTag = "Exif.OlympusEq.LensType (in the maker note's equipment bytes)";
            }
        id.focalLength = Number(data, "Exif.Photo.FocalLength");
        id.focalLength35mm = Number(data, "Exif.Photo.FocalLengthIn35mmFilm");
        id.fNumber = Number(data, "Exif.Photo.FNumber");
        id.focusDistance = Number(data, "Exif.Photo.SubjectDistance");
        for (const char* key : kSequenceKeys)
            if (const auto n = Number(data, key); n && *n >= 1 && *n < 1000) {
                id.shotInSequence = static_cast<int>(*n);
                break;
            }
        return id;
    } catch (...) {  // exiv2 throws its own errors, and std ones
        return std::nullopt;
    }
}

ExifTags LensTagsOf(const std::string& path, std::string* lensTag) {
    ExifTags tags = ReadImageExifTags(path);
    if (lensTag) lensTag->clear();
    const std::optional<CameraIdentity> id = ReadCameraIdentity(path);
    if (!id) {
        if (lensTag && !tags.LensModel.empty()) *lensTag = "Exif.Photo.LensModel";
        return tags;
    }
    if (tags.Make.empty()) tags.Make = id->make;
    if (tags.Model.empty()) tags.Model = id->model;
    if (!tags.FocalLength && id->focalLength) tags.FocalLength = id->focalLength;
    if (!tags.FocalLengthIn35mmFormat && id->focalLength35mm) tags.FocalLengthIn35mmFormat = id->focalLength35mm;
    if (!tags.FNumber && id->fNumber) tags.FNumber = id->fNumber;
    if (!id->lens.empty()) {
        tags.LensModel = id->lens;
        if (lensTag) *lensTag = id->lensTag;
    }
    return tags;
}

}  // namespace vantrel
