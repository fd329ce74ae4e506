#include "metadata/raw_metadata.h"

#include <exiv2/exiv2.hpp>

#include "metadata/exiv2_session.h"

namespace vantrel {

namespace {

// Carried by name; a DNG or TIFF-EP keeps some in its first directory
// instead (Exif.Image.*), which is looked at second.
constexpr const char* kCarried[] = {
    "Exif.Image.Make", "Exif.Image.Model", "Exif.Image.DateTime", "Exif.Image.Artist", "Exif.Image.Copyright",
    "Exif.Image.ImageDescription", "Exif.Photo.DateTimeOriginal", "Exif.Photo.DateTimeDigitized",
    "Exif.Photo.SubSecTimeOriginal", "Exif.Photo.OffsetTimeOriginal", "Exif.Photo.ExposureTime",
    "Exif.Photo.FNumber", "Exif.Photo.ISOSpeedRatings", "Exif.Photo.ExposureProgram",
    "Exif.Photo.ExposureBiasValue", "Exif.Photo.ExposureMode", "Exif.Photo.MeteringMode", "Exif.Photo.Flash",
    "Exif.Photo.WhiteBalance", "Exif.Photo.FocalLength", "Exif.Photo.FocalLengthIn35mmFilm",
    "Exif.Photo.LensMake", "Exif.Photo.LensModel", "Exif.Photo.LensSpecification", "Exif.Photo.LensSerialNumber",
    "Exif.Photo.BodySerialNumber", "Exif.Photo.SubjectDistance",
};

// Makers' notes that name the lens where the EXIF does not.
constexpr const char* kMakersLens[] = {
    "Exif.CanonCs.LensType", "Exif.NikonLd3.LensIDNumber", "Exif.NikonLd2.LensIDNumber", "Exif.Sony2.LensID",
    "Exif.Pentax.LensType", "Exif.OlympusEq.LensModel", "Exif.Fujifilm.LensModel", "Exif.Panasonic.LensType",
    "Exif.Samsung2.LensType",
};

bool Names(const std::string& text) {
    return !text.empty() && text != "n/a" && text.rfind("Unknown", 0) != 0 && text.find_first_not_of("0123456789 ()") != std::string::npos;
}

}  // namespace

ImageMetadata ReadRawMetadata(const std::string& path, bool linear) {
    const Exiv2Session session;
    ImageMetadata out;
    try {
        auto image = Exiv2::ImageFactory::open(path);
        if (!image.get()) return out;
        image->readMetadata();
        const Exiv2::ExifData& source = image->exifData();
        Exiv2::ExifData kept;
        // A key this exiv2 does not know is passed over.
        auto find = [&](const std::string& name) {
            try {
                return source.findKey(Exiv2::ExifKey(name));
            } catch (...) {
                return source.end();
            }
        };
        for (const char* name : kCarried) {
            const std::string key = name;
            auto it = find(key);
            if (it == source.end() && key.rfind("Exif.Photo.", 0) == 0) it = find("Exif.Image." + key.substr(11));
            if (it != source.end() && it->count() > 0) kept.add(Exiv2::ExifKey(key), &it->value());
        }
        for (const Exiv2::Exifdatum& d : source)
            if (d.groupName() == "GPSInfo") kept.add(d);
        if (kept.findKey(Exiv2::ExifKey("Exif.Photo.LensModel")) == kept.end())
            for (const char* name : kMakersLens) {
                const auto it = find(name);
                if (it == source.end()) continue;
                const std::string lens = it->print(&source);
                if (!Names(lens)) continue;
                kept["Exif.Photo.LensModel"] = lens;
                break;
            }
        if (kept.empty()) return out;
        // What every EXIF block holds; linear samples are no sRGB.
        for (const auto& [name, text] : {std::pair{"Exif.Photo.ExifVersion", "0230"}, {"Exif.Photo.FlashpixVersion", "0100"}}) {
            Exiv2::DataValue version(Exiv2::undefined);
            version.read(reinterpret_cast<const Exiv2::byte*>(text), 4);
            kept.add(Exiv2::ExifKey(name), &version);
        }
        kept["Exif.Photo.ColorSpace"] = static_cast<std::uint16_t>(linear ? 0xFFFF : 1);
        Exiv2::Blob blob;
        Exiv2::ExifParser::encode(blob, nullptr, 0, Exiv2::littleEndian, kept);
        out.exif.assign(blob.begin(), blob.end());
        Exiv2::XmpData xmp = image->xmpData();
        Exiv2::copyExifToXmp(kept, xmp);
        std::string packet;
        if (Exiv2::XmpParser::encode(packet, xmp, Exiv2::XmpParser::useCompactFormat) == 0) out.xmp = packet;
    } catch (...) {  // exiv2 throws its own errors, and std ones
        return ImageMetadata();
    }
    return out;
}

}  // namespace vantrel
