#include "formats/bmp_codec.h"

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "formats/codec_error.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

enum Compression : std::uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3, kAlphaBitFields = 6 };

constexpr std::size_t kFileHeaderSize = 14;

[[noreturn]] void Invalid(const char* why) { throw InvalidPicture(std::string("Invalid bitmap: ") + why); }

class ByteReader {
public:
    ByteReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::size_t size() const { return size_; }
    std::uint16_t u16(std::size_t at) const {
        need(at, 2);
        return static_cast<std::uint16_t>(data_[at] | data_[at + 1] << 8);
    }
    std::uint32_t u32(std::size_t at) const {
        need(at, 4);
        return static_cast<std::uint32_t>(data_[at]) | static_cast<std::uint32_t>(data_[at + 1]) << 8 |
               static_cast<std::uint32_t>(data_[at + 2]) << 16 | static_cast<std::uint32_t>(data_[at + 3]) << 24;
    }
    std::int32_t i32(std::size_t at) const { return static_cast<std::int32_t>(u32(at)); }
    const std::uint8_t* at(std::size_t offset) const { return data_ + offset; }

private:
    void need(std::size_t at, std::size_t n) const {
        if (at > size_ || size_ - at < n) Invalid("file too short");
    }
    const std::uint8_t* data_;
    std::size_t size_;
};

// One colour channel of a bit-field pixel, scaled to 0..255.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    std::uint64_t max = 0;

    explicit Channel(std::uint32_t m = 0) : mask(m) {
        if (mask) {
            shift = std::countr_zero(mask);
            max = mask >> shift;
        }
    }
    std::uint8_t operator()(std::uint32_t pixel) const {
        if (!max) return 0;
        const std::uint64_t v = (pixel & mask) >> shift;
        return static_cast<std::uint8_t>((v * 255 + max / 2) / max);
    }
};

struct Header {
    int width = 0;
    int height = 0;
    bool topDown = false;
    int bitCount = 0;
    std::uint32_t compression = kRgb;
    std::size_t pixelOffset = 0;
    std::array<std::uint8_t, 256 * 3> palette{};  // BGR, unused entries black
    Channel red, green, blue;
};

Header ReadHeader(const ByteReader& in) {
    if (in.size() < kFileHeaderSize + 12 || in.at(0)[0] != 'B' || in.at(0)[1] != 'M') Invalid("not a bitmap");
    Header h;
    h.pixelOffset = in.u32(10);
    const std::uint32_t infoSize = in.u32(14);
    const std::size_t info = kFileHeaderSize;

    bool core = false;
    bool os2 = false;
    if (infoSize == 12) {
        core = true;
    } else if (infoSize == 40 || infoSize == 52 || infoSize == 56 || infoSize == 108 || infoSize == 124) {
    } else if (infoSize >= 16 && infoSize <= 64 && infoSize % 4 == 0) {
        os2 = true;  // OS/2 2.x, whose header may be cut short after any field
    } else {
        Invalid("unknown header size");
    }
    if (in.size() - info < infoSize) Invalid("header beyond end of file");

    std::int64_t width, height;
    int planes;
    if (core) {
        width = in.u16(info + 4);
        height = in.u16(info + 6);
        planes = in.u16(info + 8);
        h.bitCount = in.u16(info + 10);
    } else {
        width = in.i32(info + 4);
        height = in.i32(info + 8);
        planes = in.u16(info + 12);
        h.bitCount = in.u16(info + 14);
        if (infoSize >= 20) h.compression = in.u32(info + 16);
    }
    if (planes != 1) Invalid("bad plane count");
    if (width <= 0 || height == 0 || height == INT_MIN) Invalid("bad size");
    if (height < 0) {
        h.topDown = true;
        height = -height;
    }
    if (width * height > Bitmap::kMaxPixels) Invalid("image too large");
    h.width = static_cast<int>(width);
    h.height = static_cast<int>(height);

    const int bpp = h.bitCount;
    const bool indexed = bpp == 1 || bpp == 2 || bpp == 4 || bpp == 8;
    if (!indexed && bpp != 16 && bpp != 24 && bpp != 32) Invalid("bad bit count");
    if (os2 && h.compression != kRgb && h.compression != kRle8 && h.compression != kRle4)
        Invalid("unsupported OS/2 compression");
    switch (h.compression) {
        case kRgb: break;
        case kRle8: if (bpp != 8) Invalid("RLE8 needs 8 bits per pixel"); break;
        case kRle4: if (bpp != 4) Invalid("RLE4 needs 4 bits per pixel"); break;
        case kBitFields:
        case kAlphaBitFields: if (bpp != 16 && bpp != 32) Invalid("bit fields need 16 or 32 bits"); break;
        default: Invalid("unsupported compression");
    }
    if (h.topDown && (h.compression == kRle4 || h.compression == kRle8)) Invalid("compressed top-down bitmap");

    // Colour masks: inside a v2+ header, else as three (or four) words after it.
    std::size_t tableStart = info + infoSize;
    if (h.compression == kBitFields || h.compression == kAlphaBitFields) {
        std::size_t masks = info + 40;
        if (infoSize < 52) tableStart += h.compression == kAlphaBitFields ? 16 : 12;
        h.red = Channel(in.u32(masks));
        h.green = Channel(in.u32(masks + 4));
        h.blue = Channel(in.u32(masks + 8));
    } else if (bpp == 16) {
        h.red = Channel(0x7C00);
        h.green = Channel(0x03E0);
        h.blue = Channel(0x001F);
    } else if (bpp == 32) {
        h.red = Channel(0x00FF0000);
        h.green = Channel(0x0000FF00);
        h.blue = Channel(0x000000FF);
    }

    if (indexed) {
        const std::size_t entrySize = core ? 3 : 4;
        std::uint32_t used = (!core && infoSize >= 36) ? in.u32(info + 32) : 0;
        const std::uint32_t full = 1u << bpp;
        const std::uint32_t count = (used == 0 || used > full) ? full : used;
        if (used > full && (in.size() - std::min(in.size(), tableStart)) / entrySize < used)
            Invalid("bad palette size");
        for (std::uint32_t i = 0; i < count; ++i) {
            const std::size_t at = tableStart + i * entrySize;
            if (at + 3 > in.size() || (h.pixelOffset >= tableStart && at + 3 > h.pixelOffset)) {
                if (i == 0) Invalid("palette missing");
                break;  // a short palette: the rest stays black
            }
            std::memcpy(&h.palette[i * 3], in.at(at), 3);
        }
    }

    if (h.pixelOffset < info + infoSize || h.pixelOffset >= in.size()) Invalid("bad pixel data offset");
    return h;
}

std::uint64_t RowStride(const Header& h) { return (static_cast<std::uint64_t>(h.width) * h.bitCount + 31) / 32 * 4; }

bool Compressed(const Header& h) { return h.compression == kRle4 || h.compression == kRle8; }

// What the header claims must fit what the file holds, before anything is
// allocated for it. Uncompressed rows must all be there (the last row's
// padding is often left out). Run-length data draws at most 255 pixels per
// two bytes; a picture claiming far more than its runs can draw is refused.
void CheckClaimedSize(const ByteReader& in, const Header& h) {
    const std::uint64_t available = in.size() - h.pixelOffset;
    const std::uint64_t pixels = static_cast<std::uint64_t>(h.width) * static_cast<std::uint64_t>(h.height);
    if (Compressed(h)) {
        if (pixels > std::max<std::uint64_t>(4u << 20, 128 * available)) Invalid("pixel data beyond end of file");
        return;
    }
    const std::uint64_t used = (static_cast<std::uint64_t>(h.width) * h.bitCount + 7) / 8;
    if (RowStride(h) * (h.height - 1) + used > available) Invalid("pixel data beyond end of file");
}

void DecodeUncompressed(const ByteReader& in, const Header& h, Bitmap& out) {
    const std::uint64_t stride = RowStride(h);
    const int bpp = h.bitCount;
    const std::uint32_t pixelMask = (1u << (bpp < 8 ? bpp : 8)) - 1;
    for (int y = 0; y < h.height; ++y) {
        const std::uint8_t* src = in.at(h.pixelOffset + stride * y);
        std::uint8_t* dst = out.row(h.topDown ? y : h.height - 1 - y);
        switch (bpp) {
            case 24: std::memcpy(dst, src, static_cast<std::size_t>(h.width) * 3); break;
            case 16:
            case 32:
                for (int x = 0; x < h.width; ++x, dst += 3) {
                    std::uint32_t p;
                    if (bpp == 16) {
                        p = static_cast<std::uint32_t>(src[2 * x] | src[2 * x + 1] << 8);
                    } else {
                        const std::uint8_t* s = src + 4 * x;
                        p = static_cast<std::uint32_t>(s[0]) | static_cast<std::uint32_t>(s[1]) << 8 |
                            static_cast<std::uint32_t>(s[2]) << 16 | static_cast<std::uint32_t>(s[3]) << 24;
                    }
                    dst[0] = h.blue(p);
                    dst[1] = h.green(p);
                    dst[2] = h.red(p);
                }
                break;
            default:  // 1, 2, 4 or 8 bits of palette index, most significant first
                for (int x = 0; x < h.width; ++x, dst += 3) {
                    const std::uint64_t bit = static_cast<std::uint64_t>(x) * bpp;
                    const int shift = 8 - bpp - static_cast<int>(bit % 8);
                    const std::uint32_t index = (src[bit / 8] >> shift) & pixelMask;
                    std::memcpy(dst, &h.palette[index * 3], 3);
                }
        }
    }
}

void DecodeRle(const ByteReader& in, const Header& h, Bitmap& out) {
    const bool four = h.compression == kRle4;
    const std::uint8_t* p = in.at(h.pixelOffset);
    const std::uint8_t* end = in.at(in.size());
    std::int64_t x = 0, y = 0;  // y counts rows from the bottom

    auto put = [&](std::uint32_t index) {
        if (x < h.width && y < h.height)
            std::memcpy(out.row(h.height - 1 - static_cast<int>(y)) + x * 3, &h.palette[index * 3], 3);
        ++x;
    };

    while (end - p >= 2 && y < h.height) {
        const int count = p[0];
        const int value = p[1];
        p += 2;
        if (count > 0) {
            for (int i = 0; i < count; ++i) put(four ? (i % 2 ? value & 15 : value >> 4) : value);
        } else if (value == 0) {
            x = 0;
            ++y;
        } else if (value == 1) {
            break;
        } else if (value == 2) {
            if (end - p < 2) Invalid("truncated RLE delta");
            x += p[0];
            y += p[1];
            p += 2;
        } else {
            const std::ptrdiff_t bytes = four ? (value + 1) / 2 : value;
            const std::ptrdiff_t padded = (bytes + 1) & ~std::ptrdiff_t{1};
            if (end - p < bytes) Invalid("truncated RLE run");
            for (int i = 0; i < value; ++i) put(four ? (i % 2 ? p[i / 2] & 15 : p[i / 2] >> 4) : p[i]);
            p += std::min(padded, end - p);
        }
    }
}

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    b[at] = v & 0xFF;
    b[at + 1] = (v >> 8) & 0xFF;
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
    Put16(b, at, v & 0xFFFF);
    Put16(b, at + 2, v >> 16);
}

}  // namespace

Bitmap DecodeBmp(const std::uint8_t* data, std::size_t size) {
    const ByteReader in(data, size);
    const Header h = ReadHeader(in);
    CheckClaimedSize(in, h);
    Bitmap out(h.width, h.height);
    if (Compressed(h))
        DecodeRle(in, h, out);
    else
        DecodeUncompressed(in, h, out);
    return out;
}

Bitmap DecodeBmpFile(const InputFile& file) {
    // The headers and palette come first; what follows is read only as far
    // as the header says the pixels reach, so a huge file with a small
    // picture costs nothing.
    constexpr std::size_t kHead = 64 * 1024;
    std::vector<std::uint8_t> bytes = file.read(0, kHead);
    std::uint64_t extent = bytes.size();
    if (bytes.size() >= 30 && bytes[0] == 'B' && bytes[1] == 'M') {
        const ByteReader head(bytes.data(), bytes.size());
        const std::uint64_t offset = head.u32(10);
        const std::uint32_t infoSize = head.u32(14);
        const std::int64_t width = infoSize == 12 ? head.u16(18) : head.i32(18);
        const std::int64_t height = infoSize == 12 ? head.u16(20) : std::abs(static_cast<std::int64_t>(head.i32(22)));
        const std::uint64_t bits = infoSize == 12 ? head.u16(24) : head.u16(28);
        if (width > 0 && height > 0 && width * height <= Bitmap::kMaxPixels) {
            const std::uint64_t stride = (static_cast<std::uint64_t>(width) * std::min<std::uint64_t>(bits, 32) + 31) / 32 * 4;
            // Run-length data is never longer than about two bytes a pixel.
            const std::uint64_t pixels = std::max(stride * height, 2 * static_cast<std::uint64_t>(width * height) + 4 * height);
            extent = std::max<std::uint64_t>(extent, offset + pixels + 16);
        }
    }
    if (extent > bytes.size() && file.size() > bytes.size()) bytes = file.read(0, static_cast<std::size_t>(std::min(extent, file.size())));
    return DecodeBmp(bytes.data(), bytes.size());
}

std::vector<std::uint8_t> EncodeBmp(const Bitmap& bitmap) {
    if (bitmap.empty()) throw Error("Cannot write an empty image.");
    const std::size_t stride = Bitmap::strideFor(bitmap.width());
    const std::size_t headers = kFileHeaderSize + 40;
    const std::size_t pixels = stride * bitmap.height();
    if (headers + pixels > 0xFFFFFFFFu) throw Error("Image too large for a bitmap file.");
    std::vector<std::uint8_t> out(headers + pixels, 0);
    out[0] = 'B';
    out[1] = 'M';
    Put32(out, 2, static_cast<std::uint32_t>(out.size()));
    Put32(out, 10, static_cast<std::uint32_t>(headers));
    Put32(out, 14, 40);
    Put32(out, 18, static_cast<std::uint32_t>(bitmap.width()));
    Put32(out, 22, static_cast<std::uint32_t>(bitmap.height()));
    Put16(out, 26, 1);
    Put16(out, 28, 24);
    Put32(out, 34, static_cast<std::uint32_t>(pixels));
    for (int y = 0; y < bitmap.height(); ++y)
        std::memcpy(out.data() + headers + stride * (bitmap.height() - 1 - y), bitmap.row(y),
                    static_cast<std::size_t>(bitmap.width()) * 3);
    return out;
}

}  // namespace vantrel
