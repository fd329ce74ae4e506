#include "metadata/exif_tags.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "metadata/jpeg_metadata.h"

namespace vantrel {

namespace {

// A TIFF structure read with bounds checks: any read outside yields nothing.
class TiffReader {
public:
    TiffReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {
        motorola_ = size >= 2 && data[0] == 'M' && data[1] == 'M';
        valid_ = size >= 8 && ((data[0] == 'I' && data[1] == 'I') || motorola_) && u16(2).value_or(0) == 42;
    }
    bool valid() const { return valid_; }

    std::optional<std::uint32_t> u16(std::size_t at) const {
        if (at > size_ || size_ - at < 2) return std::nullopt;
        const std::uint8_t a = data_[at], b = data_[at + 1];
        return static_cast<std::uint32_t>(motorola_ ? a << 8 | b : b << 8 | a);
    }
    std::optional<std::uint32_t> u32(std::size_t at) const {
        const auto hi = u16(motorola_ ? at : at + 2), lo = u16(motorola_ ? at + 2 : at);
        if (!hi || !lo) return std::nullopt;
        return *hi << 16 | *lo;
    }

    struct Entry {
        std::uint32_t tag, type, count;
        std::size_t value;  // where the value starts
    };

    // The entries of the directory at `offset`, and the next directory's offset.
    std::vector<Entry> directory(std::size_t offset, std::uint32_t* next = nullptr) const {
        std::vector<Entry> entries;
        const auto n = u16(offset);
        if (!n || *n > 1000) return entries;
        for (std::uint32_t i = 0; i < *n; ++i) {
            const std::size_t e = offset + 2 + 12 * static_cast<std::size_t>(i);
            const auto tag = u16(e), type = u16(e + 2), count = u32(e + 4);
            if (!tag || !type || !count) break;
            const std::uint64_t bytes = static_cast<std::uint64_t>(*count) * TypeSize(*type);
            const auto pointed = u32(e + 8);
            if (bytes > 4 && !pointed) break;
            entries.push_back({*tag, *type, *count, bytes <= 4 ? e + 8 : static_cast<std::size_t>(*pointed)});
        }
        if (next) *next = u32(offset + 2 + 12 * static_cast<std::size_t>(*n)).value_or(0);
        return entries;
    }

    std::optional<double> number(const Entry& e) const {
        switch (e.type) {
            case 1: case 7: return e.value < size_ ? std::optional<double>(data_[e.value]) : std::nullopt;
            case 3: return u16(e.value);
            case 8: if (auto v = u16(e.value)) return static_cast<std::int16_t>(*v); return std::nullopt;
            case 4: return u32(e.value);
            case 9: if (auto v = u32(e.value)) return static_cast<std::int32_t>(*v); return std::nullopt;
            case 5: case 10: {
                const auto num = u32(e.value), den = u32(e.value + 4);
                if (!num || !den || *den == 0) return std::nullopt;
                if (e.type == 5) return static_cast<double>(*num) / *den;
                return static_cast<double>(static_cast<std::int32_t>(*num)) / static_cast<std::int32_t>(*den);
            }
            default: return std::nullopt;
        }
    }

    std::string text(const Entry& e) const {
        if (e.type != 2 || e.value > size_) return {};
        const std::size_t n = std::min<std::size_t>(e.count, size_ - e.value);
        std::string s(reinterpret_cast<const char*>(data_ + e.value), n);
        s.erase(std::find(s.begin(), s.end(), '\0'), s.end());
        while (!s.empty() && s.back() == ' ') s.pop_back();
        return s;
    }

    static std::uint64_t TypeSize(std::uint32_t type) {
        switch (type) {
            case 1: case 2: case 6: case 7: return 1;
            case 3: case 8: return 2;
            case 4: case 9: case 11: return 4;
            case 5: case 10: case 12: return 8;
            default: return 0;
        }
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    bool motorola_ = false;
    bool valid_ = false;
};

void Take(const TiffReader& tiff, const std::vector<TiffReader::Entry>& entries, ExifTags& t) {
    for (const auto& e : entries) {
        auto n = [&] { return tiff.number(e); };
        auto i = [&]() -> std::optional<int> {
            const auto v = n();
            if (!v || !(std::fabs(*v) < 1e9)) return std::nullopt;
            return static_cast<int>(*v);
        };
        switch (e.tag) {
            case 0x010F: t.Make = tiff.text(e); break;
            case 0x0110: t.Model = tiff.text(e); break;
            case 0x0112: t.Orientation = i(); break;
            case 0x829A: t.ExposureTime = n(); break;
            case 0x829D: t.FNumber = n(); break;
            case 0x8827: t.ISO = n(); break;
            case 0x9003: t.DateTimeOriginal = tiff.text(e); break;
            case 0x9204: t.ExposureBiasValue = n(); break;
            case 0x920A: t.FocalLength = n(); break;
            case 0x9291: t.SubSecTimeOriginal = tiff.text(e); break;
            case 0xA002: t.PixelXDimension = i(); break;
            case 0xA003: t.PixelYDimension = i(); break;
            case 0xA20E: t.FocalPlaneXResolution = n(); break;
            case 0xA20F: t.FocalPlaneYResolution = n(); break;
            case 0xA210: t.FocalPlaneResolutionUnit = i(); break;
            case 0xA402: t.ExposureMode = i(); break;
            case 0xA405: t.FocalLengthIn35mmFormat = n(); break;
            case 0xA433: t.LensMake = tiff.text(e); break;
            case 0xA434: t.LensModel = tiff.text(e); break;
            default: break;
        }
    }
}

}  // namespace

ExifTags ReadTiffTags(const std::uint8_t* data, std::size_t size) {
    ExifTags t;
    const TiffReader tiff(data, size);
    if (!tiff.valid()) return t;
    const auto first = tiff.u32(4);
    if (!first) return t;
    const auto ifd0 = tiff.directory(*first);
    Take(tiff, ifd0, t);
    for (const auto& e : ifd0)
        if (e.tag == 0x8769)
            if (const auto exif = tiff.number(e); exif && *exif != *first) Take(tiff, tiff.directory(static_cast<std::size_t>(*exif)), t);
    return t;
}

ExifTags ReadExifTags(const std::vector<std::uint8_t>& segment) {
    // Two length bytes, "Exif\0\0", then the TIFF structure.
    if (segment.size() < 8 + 8 || std::memcmp(segment.data() + 2, "Exif\0\0", 6) != 0) return {};
    return ReadTiffTags(segment.data() + 8, segment.size() - 8);
}

ExifTags ReadExifTagsOf(const std::string& path) {
    TJpegMetadata meta;
    if (!meta.ReadMetadata(path) || !meta.ExifSegment()) return {};
    return ReadExifTags(meta.ExifSegment()->Data);
}

std::optional<double> ExifTags::HalfFieldOfView(int width, int height) const {
    if (width <= 0 || height <= 0) return std::nullopt;
    const double longer = std::max(width, height), diagonal = std::hypot(width, height);
    auto sane = [](double half) -> std::optional<double> {
        if (!(half > 0.002 && half < 1.5)) return std::nullopt;  // between about 0.2 and 172 degrees
        return half;
    };
    // The 35 mm equivalent matches the diagonal of a 36 x 24 mm frame.
    if (FocalLengthIn35mmFormat && *FocalLengthIn35mmFormat > 0)
        return sane(std::atan(longer / diagonal * std::hypot(36.0, 24.0) / 2 / *FocalLengthIn35mmFormat));
    if (FocalLength && *FocalLength > 0 && FocalPlaneXResolution && *FocalPlaneXResolution > 0) {
        const int unit = FocalPlaneResolutionUnit.value_or(2);
        const double mm = unit == 3 ? 10 : unit == 4 ? 1 : unit == 5 ? 0.001 : 25.4;
        // The resolution is that of the sensor: measure the picture as shot.
        const double shotWidth = PixelXDimension && *PixelXDimension > 0 ? *PixelXDimension : width;
        const double shotLonger = shotWidth * longer / width;
        const double sensorLonger = shotLonger / *FocalPlaneXResolution * mm;
        return sane(std::atan(sensorLonger / 2 / *FocalLength));
    }
    return std::nullopt;
}

std::optional<double> ExifTags::ShotTime() const {
    int y, mo, d, h, mi, s;
    if (DateTimeOriginal.size() < 19 ||
        std::sscanf(DateTimeOriginal.c_str(), "%4d:%2d:%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &s) != 6)
        return std::nullopt;
    if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
    // Days from a civil date (proleptic Gregorian).
    const int yy = y - (mo <= 2);
    const int era = (yy >= 0 ? yy : yy - 399) / 400;
    const int yoe = yy - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const double days = static_cast<double>(era) * 146097 + doe - 719468;
    double fraction = 0;
    if (!SubSecTimeOriginal.empty() &&
        std::all_of(SubSecTimeOriginal.begin(), SubSecTimeOriginal.end(), [](char c) { return c >= '0' && c <= '9'; }))
        fraction = std::stod("0." + SubSecTimeOriginal.substr(0, 9));
    return days * 86400 + h * 3600 + mi * 60 + s + fraction;
}

}  // namespace vantrel
