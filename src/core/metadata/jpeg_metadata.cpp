#include "metadata/jpeg_metadata.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <functional>
#include <string_view>

#include "metadata/image_metadata.h"
#include "metadata/tiff_directory.h"
#include "metadata/xmp_packet.h"
#include "util/file_io.h"

namespace vantrel {

namespace {

// The sizes of the TIFF value formats; 0 for unknown codes (an IFD pointer
// entry among them: the walk follows only the pointer tags it knows).
int FormatSize(int format) { return format == 13 ? 0 : TiffTypeSize(format); }

constexpr int kShort = 3, kLong = 4;
constexpr int kMaxDirectoryDepth = 16;


}  // namespace

std::uint16_t TByteOrderBuffer::get16(const std::vector<std::uint8_t>& bytes, std::size_t position) const {
    if (position < 1 || position + 1 > bytes.size()) throw MalformedBlock{};
    const std::uint8_t a = bytes[position - 1], b = bytes[position];
    return static_cast<std::uint16_t>(MotorolaOrder ? a << 8 | b : b << 8 | a);
}

std::uint32_t TByteOrderBuffer::get32(const std::vector<std::uint8_t>& bytes, std::size_t position) const {
    const std::uint32_t first = get16(bytes, position), second = get16(bytes, position + 2);
    return MotorolaOrder ? first << 16 | second : second << 16 | first;
}

void TByteOrderBuffer::put16(std::vector<std::uint8_t>& bytes, std::size_t position, std::uint16_t value) const {
    if (position < 1 || position + 1 > bytes.size()) throw MalformedBlock{};
    bytes[position - 1] = static_cast<std::uint8_t>(MotorolaOrder ? value >> 8 : value & 0xFF);
    bytes[position] = static_cast<std::uint8_t>(MotorolaOrder ? value & 0xFF : value >> 8);
}

void TByteOrderBuffer::put32(std::vector<std::uint8_t>& bytes, std::size_t position, std::uint32_t value) const {
    if (position < 1 || position + 3 > bytes.size()) throw MalformedBlock{};
    put16(bytes, position, static_cast<std::uint16_t>(MotorolaOrder ? value >> 16 : value & 0xFFFF));
    put16(bytes, position + 2, static_cast<std::uint16_t>(MotorolaOrder ? value & 0xFFFF : value >> 16));
}

// ---- directory walk ----

void TExifDirectory::Walk(const std::vector<std::uint8_t>& data, std::size_t position, int blockLength) {
    walked_.clear();
    try {
        WalkDirectory(data, position, blockLength);
    } catch (const MalformedBlock&) {
        Malformed = true;
    }
}

void TExifDirectory::WalkDirectory(const std::vector<std::uint8_t>& data, std::size_t position, int blockLength) {
    walked_.push_back(position);
    const std::uint16_t entries = get16(data, position);
    if (12LL * entries > blockLength + 1LL) return;  // an illegally sized directory is left alone
    // Reads the value of an entry as a number in its own format.
    auto number = [&](std::size_t at, int format) -> double {
        switch (format) {
            case 1: case 7: if (at < 1 || at > data.size()) throw MalformedBlock{}; return data[at - 1];
            case 6: if (at < 1 || at > data.size()) throw MalformedBlock{}; return static_cast<std::int8_t>(data[at - 1]);
            case 3: return get16(data, at);
            case 8: return static_cast<std::int16_t>(get16(data, at));
            case 4: return get32(data, at);
            case 9: return static_cast<std::int32_t>(get32(data, at));
            case 5: { const double d = get32(data, at + 4); return d == 0 ? 0 : get32(data, at) / d; }
            case 10: {
                const double d = static_cast<std::int32_t>(get32(data, at + 4));
                return d == 0 ? 0 : static_cast<std::int32_t>(get32(data, at)) / d;
            }
            case 11: return std::bit_cast<float>(get32(data, at));
            case 12: {
                const std::uint64_t first = get32(data, at), second = get32(data, at + 4);
                return std::bit_cast<double>(MotorolaOrder ? first << 32 | second : second << 32 | first);
            }
            default: return 0;
        }
    };
    auto asInt = [](double v) {
        if (!(std::fabs(v) < 2e9)) return 0;
        return static_cast<int>(std::nearbyint(v));
    };
    for (std::size_t i = 0; i < entries; ++i) {
        const std::size_t e = position + 2 + 12 * i;
        const int tag = get16(data, e);
        const int format = get16(data, e + 2);
        const std::uint64_t bytes = static_cast<std::uint64_t>(get32(data, e + 4)) * FormatSize(format);
        if (bytes == 0) continue;
        const std::size_t value = bytes <= 4 ? e + 8 : 9 + static_cast<std::size_t>(get32(data, e + 8));
        // A later entry overwrites an earlier one; only a value held in the
        // entry itself can be rewritten later (format 0 otherwise).
        auto record = [&](int& size, std::size_t& position, int& entryFormat) {
            size = asInt(number(value, format));
            position = e + 8;
            entryFormat = bytes <= 4 ? format : 0;
        };
        switch (tag) {
            case 0x100:
            case 0xA002: record(ExifWidth, ExifWidthPos, ExifWidthFormat); break;
            case 0x101:
            case 0xA003: record(ExifHeight, ExifHeightPos, ExifHeightFormat); break;
            case 0x8769:
            case 0xA005:
            case 0x14A:
            case 0x8825: {
                const std::size_t sub = 9 + static_cast<std::size_t>(get32(data, e + 8));
                if (std::find(walked_.begin(), walked_.end(), sub) != walked_.end()) break;
                if (walked_.size() >= kMaxDirectoryDepth) break;
                try {
                    WalkDirectory(data, sub, blockLength);
                } catch (const MalformedBlock&) {
                    Malformed = true;  // ends that sub-directory only, but no size update
                }
                break;
            }
            default: break;
        }
    }
}

// ---- the reader ----

const std::array<std::uint8_t, 18> TJpegMetadata::DefaultJfifHeader = {
    0xFF, 0xE0, 0x00, 0x10, 0x4A, 0x46, 0x49, 0x46, 0x00, 0x01, 0x02, 0x01, 0x01, 0x2C, 0x01, 0x2C, 0x00, 0x00};

// The bytes of a file or a buffer in order, fetched in blocks, so a walk
// over the segments reads no more of a file than it needs.
class TJpegMetadata::Source {
public:
    using Fetch = std::function<std::vector<std::uint8_t>(std::uint64_t offset, std::size_t count)>;
    explicit Source(Fetch fetch) : fetch_(std::move(fetch)) {}

    std::uint64_t position() const { return offset_ + at_; }
    // The next byte, or -1 at the end.
    int next() {
        if (at_ == block_.size() && !refill()) return -1;
        return block_[at_++];
    }
    // Appends the next `count` bytes to `out`; false when the data ends first.
    bool take(std::size_t count, std::vector<std::uint8_t>& out) {
        while (count > 0) {
            if (at_ == block_.size() && !refill()) return false;
            const std::size_t n = std::min(count, block_.size() - at_);
            out.insert(out.end(), block_.begin() + static_cast<std::ptrdiff_t>(at_),
                       block_.begin() + static_cast<std::ptrdiff_t>(at_ + n));
            at_ += n;
            count -= n;
        }
        return true;
    }

private:
    bool refill() {
        offset_ += block_.size();
        at_ = 0;
        block_ = fetch_(offset_, 64 * 1024);
        return !block_.empty();
    }
    Fetch fetch_;
    std::vector<std::uint8_t> block_;
    std::uint64_t offset_ = 0;
    std::size_t at_ = 0;
};

namespace {

bool HasIdentifier(const TJpegSegment& s, std::string_view identifier) {
    return s.Data.size() >= 2 + identifier.size() &&
           std::equal(identifier.begin(), identifier.end(), s.Data.begin() + 2);
}

constexpr std::string_view kExifIdentifier{"Exif\0\0", 6};
constexpr std::string_view kIccIdentifier{"ICC_PROFILE\0", 12};
constexpr std::string_view kMpfIdentifier{"MPF\0", 4};

int IccSequence(const TJpegSegment& s) { return s.Data[2 + kIccIdentifier.size()]; }

}  // namespace

bool IsIccChunk(const TJpegSegment& s) {
    return s.Marker == 0xE2 && s.Data.size() >= 2 + kIccIdentifier.size() + 2 && HasIdentifier(s, kIccIdentifier);
}

void TJpegMetadata::reset() {
    SegmentCount = 0;
    Segments.clear();
    exif_.reset();
    iptc_.reset();
    comment_.reset();
    header_.reset();
    xmp_.reset();
    carried_.clear();
    iccChunks_ = 0;
    directory_.reset();
    ErrorText.clear();
    Notices.clear();
    MotorolaOrder = false;
}

bool TJpegMetadata::ReadMetadata(const std::string& path) {
    reset();
    std::error_code ec;
    if (!std::filesystem::is_regular_file(PathFromUtf8(path), ec)) return false;
    ErrorText = "Not an EXIF file";
    std::string ext = FileExtension(path);
    std::transform(ext.begin(), ext.end(), ext.begin(), [](unsigned char c) { return std::tolower(c); });
    if (ext != ".jpg" && ext != ".jpeg" && ext != ".jpe") return false;
    try {
        const InputFile file(path);
        Source source([&](std::uint64_t offset, std::size_t count) { return file.read(offset, count); });
        if (!ReadJpegSegments(source)) return false;
    } catch (...) {
        return false;
    }
    ErrorText = "<none>";
    return true;
}

bool TJpegMetadata::ReadMetadataFromBytes(const std::vector<std::uint8_t>& file) {
    const std::string error = ErrorText.empty() ? "Not an EXIF file" : ErrorText;
    reset();
    ErrorText = error;
    Source source([&](std::uint64_t offset, std::size_t count) {
        if (offset >= file.size()) return std::vector<std::uint8_t>();
        const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(count, file.size() - offset));
        return std::vector<std::uint8_t>(file.begin() + static_cast<std::ptrdiff_t>(offset),
                                         file.begin() + static_cast<std::ptrdiff_t>(offset + n));
    });
    try {
        if (!ReadJpegSegments(source)) return false;
    } catch (...) {
        ErrorText = "Illegal Exif construction";
        return false;
    }
    ErrorText = "<none>";
    return true;
}

bool TJpegMetadata::ReadMetadataFrom(const ImageMetadata& metadata) {
    std::vector<std::string> notices = metadata.notices;
    constexpr std::size_t kMaxData = 0xFFFF - 2;  // a segment's bytes after its length
    // EXIF that no segment holds: what fits of it, said.
    std::vector<std::uint8_t> exif = metadata.exif;
    const std::size_t exifLimit = kMaxData - kExifIdentifier.size();
    if (exif.size() > exifLimit) {
        const std::string size = std::to_string((exif.size() + 1023) / 1024) + " KB";
        exif = CompactExif(metadata.exif, true);
        std::string what = "without its thumbnail and maker note";
        if (exif.size() > exifLimit) {
            exif = CompactExif(metadata.exif, false);
            what = "without its thumbnail, maker note and values over 1 KB";
        }
        if (exif.size() > exifLimit) {
            exif.clear();
            notices.push_back("The EXIF block (" + size + ") is more than a JPEG holds, so it was left out.");
        } else {
            notices.push_back("The EXIF block (" + size + ") is more than a JPEG holds: it was written " + what + ".");
        }
    }
    // XMP that no segment holds goes into Extended XMP.
    std::string xmp = metadata.xmp;
    std::vector<std::vector<std::uint8_t>> extended;
    if (xmp.size() > kMaxData - SegmentIdentifier(kXmpIdentifier).size()) {
        SplitXmp split = SplitXmpForJpeg(xmp, kMaxData);
        notices.push_back("The XMP packet (" + std::to_string((xmp.size() + 1023) / 1024) +
                          " KB) is more than one JPEG segment holds: it was written as Extended XMP.");
        xmp = std::move(split.main);
        extended = std::move(split.extendedSegments);
    }

    std::vector<std::uint8_t> file;
    file.reserve(16 + exif.size() + metadata.icc.size() * 65536 / 65000 + metadata.xmp.size() * 65536 / 65000);
    file.push_back(0xFF);
    file.push_back(0xD8);
    auto add = [&](std::uint8_t marker, std::string_view identifier, const std::uint8_t* data, std::size_t size) {
        const std::size_t length = 2 + identifier.size() + size;
        if (length > 0xFFFF) return;  // no segment holds it
        for (const std::size_t byte : {std::size_t{0xFF}, std::size_t{marker}, length >> 8, length & 0xFF})
            file.push_back(static_cast<std::uint8_t>(byte));
        file.insert(file.end(), identifier.begin(), identifier.end());
        file.insert(file.end(), data, data + size);
    };
    if (!exif.empty()) add(0xE1, kExifIdentifier, exif.data(), exif.size());
    constexpr std::size_t kChunk = 0xFFFF - 2 - kIccIdentifier.size() - 2;
    const std::size_t chunks = (metadata.icc.size() + kChunk - 1) / kChunk;
    if (chunks > 255) notices.push_back("The colour profile is more than a JPEG holds, so it was left out.");
    for (std::size_t i = 0; i < chunks && chunks <= 255; ++i) {
        std::string identifier(kIccIdentifier);
        identifier += static_cast<char>(i + 1);
        identifier += static_cast<char>(chunks);
        const std::size_t from = i * kChunk;
        add(0xE2, identifier, metadata.icc.data() + from, std::min(kChunk, metadata.icc.size() - from));
    }
    if (!xmp.empty())
        add(0xE1, SegmentIdentifier(kXmpIdentifier), reinterpret_cast<const std::uint8_t*>(xmp.data()), xmp.size());
    for (const std::vector<std::uint8_t>& part : extended) add(0xE1, {}, part.data(), part.size());
    for (const std::uint8_t byte : {0xFF, 0xDA, 0x00, 0x02}) file.push_back(byte);
    const bool read = ReadMetadataFromBytes(file);
    Notices.insert(Notices.begin(), notices.begin(), notices.end());
    return read;
}

bool TJpegMetadata::ReadJpegSegments(Source& source) {
    if (source.next() != 0xFF || source.next() != 0xD8) return false;
    // The walk ends at the image data, at the end of the file, at a segment
    // cut short (not kept) or at a bound; what was read before is kept.
    while (Segments.size() < kMaxSegments && source.position() < kMaxMetadataBytes) {
        int marker = 0xFF;
        while (marker == 0xFF && source.position() < kMaxMetadataBytes) marker = source.next();
        if (marker < 0 || marker == 0xFF || marker == 0x00 || marker == 0xDA || marker == 0xD9) break;
        if (marker == 0x01 || (marker >= 0xD0 && marker <= 0xD8)) continue;  // markers without a length
        TJpegSegment segment;
        segment.Marker = marker;
        if (!source.take(2, segment.Data)) break;
        segment.Size = segment.Data[0] << 8 | segment.Data[1];
        if (segment.Size < 2 || !source.take(static_cast<std::size_t>(segment.Size - 2), segment.Data)) break;
        Segments.push_back(std::move(segment));
    }
    SegmentCount = static_cast<int>(Segments.size());
    Classify();
    return HasMetadata();
}

void TJpegMetadata::Classify() {
    // The leading segments first: they are written ahead of the others.
    for (int i = 0; i < SegmentCount; ++i) {
        const TJpegSegment& s = Segments[i];
        if (s.Marker == 0xE1 && !exif_ && HasIdentifier(s, kExifIdentifier)) exif_ = i;
        if (s.Marker == 0xE1 && !xmp_ && HasIdentifier(s, SegmentIdentifier(kXmpIdentifier))) xmp_ = i;
        if (s.Marker == 0xED && !iptc_) iptc_ = i;
        if (s.Marker == 0xFE) comment_ = i;
        if (s.Marker == 0xE0) header_ = i;
    }
    if (exif_) ParseExifBlock();

    // Then every other APP1..APP13, APP15 and COM in source order, but for
    // what would be false in the output: the MPF index (its offsets point at
    // images not copied) and APP14 (the encoder's own colour transform).
    // The ICC profile's chunks go together, in sequence, where the first stood.
    std::vector<int> icc;
    for (int i = 0; i < SegmentCount; ++i)
        if (IsIccChunk(Segments[i])) icc.push_back(i);
    std::stable_sort(icc.begin(), icc.end(),
                     [&](int a, int b) { return IccSequence(Segments[a]) < IccSequence(Segments[b]); });
    // A profile is carried complete or not at all: chunks 1..n of n, each once.
    for (std::size_t k = 0; k < icc.size(); ++k) {
        const TJpegSegment& chunk = Segments[icc[k]];
        if (IccSequence(chunk) != static_cast<int>(k + 1) || chunk.Data[3 + kIccIdentifier.size()] != icc.size()) {
            Notices.push_back("The colour profile's chunks are incomplete or repeated, so the profile was left out.");
            icc.clear();
            break;
        }
    }
    iccChunks_ = static_cast<int>(icc.size());
    for (int i = 0; i < SegmentCount; ++i) {
        const TJpegSegment& s = Segments[i];
        const bool metadata = (s.Marker >= 0xE1 && s.Marker <= 0xED) || s.Marker == 0xEF || s.Marker == 0xFE;
        if (!metadata || i == exif_ || i == iptc_ || i == comment_) continue;
        if (s.Marker == 0xE2 && HasIdentifier(s, kMpfIdentifier)) continue;
        if (IsIccChunk(s)) {
            if (!icc.empty() && i == *std::min_element(icc.begin(), icc.end()))
                carried_.insert(carried_.end(), icc.begin(), icc.end());
            continue;
        }
        carried_.push_back(i);
    }
}

std::vector<const TJpegSegment*> TJpegMetadata::CarriedSegments() const {
    std::vector<const TJpegSegment*> out;
    for (const int i : carried_) out.push_back(&Segments[i]);
    return out;
}

void TJpegMetadata::ParseExifBlock() {
    directory_ = ReadExifDirectory(Segments[*exif_].Data, &ErrorText);
    MotorolaOrder = directory_->MotorolaOrder;
}

TExifDirectory ReadExifDirectory(const std::vector<std::uint8_t>& d, std::string* errorText) {
    TExifDirectory dir;
    if (d.size() >= 10 && d[8] == 'I' && d[9] == 'I') {
        dir.MotorolaOrder = false;
    } else if (d.size() >= 10 && d[8] == 'M' && d[9] == 'M') {
        dir.MotorolaOrder = true;
    } else {
        if (errorText) *errorText = "Invalid Exif alignment marker";
        dir.Malformed = true;
        return dir;
    }
    try {
        const std::uint32_t offset = dir.get32(d, 13);
        dir.Walk(d, offset == 0 ? 17 : 9 + static_cast<std::size_t>(offset), static_cast<int>(d.size()) - 6);
    } catch (const TByteOrderBuffer::MalformedBlock&) {
        dir.Malformed = true;
    }
    return dir;
}

// ---- the writer ----

void TJpegMetadata::UpdateExifDimensions(int width, int height) {
    if (exif_ && directory_) WriteExifDimensions(Segments[*exif_].Data, *directory_, width, height);
}

bool WriteExifDimensions(std::vector<std::uint8_t>& data, TExifDirectory& dir, int width, int height) {
    if (dir.Malformed || dir.ExifWidth <= 0 || dir.ExifHeight <= 0) return false;
    if (width == dir.ExifWidth && height == dir.ExifHeight) return true;
    // Only value fields held in the entry itself, as SHORT or LONG, can take
    // the new size; a SHORT cannot hold more than 65535.
    auto writable = [&](int format, int value) {
        return format == kLong || (format == kShort && value <= 0xFFFF);
    };
    if (!writable(dir.ExifWidthFormat, width) || !writable(dir.ExifHeightFormat, height)) return false;
    try {
        auto put = [&](std::size_t at, int format, int value) {
            if (format == kShort)
                dir.put16(data, at, static_cast<std::uint16_t>(value));
            else
                dir.put32(data, at, static_cast<std::uint32_t>(value));
        };
        put(dir.ExifHeightPos, dir.ExifHeightFormat, height);
        put(dir.ExifWidthPos, dir.ExifWidthFormat, width);
        dir.ExifWidth = width;
        dir.ExifHeight = height;
        return true;
    } catch (const TByteOrderBuffer::MalformedBlock&) {
        return false;
    }
}

std::vector<std::uint8_t> TJpegMetadata::ComposeJpeg(const std::vector<std::uint8_t>& encoded, int width, int height,
                                                     bool adjustSize) {
    if (adjustSize) {
        if (directory_) UpdateExifDimensions(width, height);
        if (xmp_) UpdateXmpDimensions(Segments[*xmp_].Data, width, height);
    }
    std::size_t metadataSize = 2 + DefaultJfifHeader.size();
    for (const TJpegSegment& s : Segments) metadataSize += 2 + s.Data.size();
    std::vector<std::uint8_t> out;
    out.reserve(encoded.size() + metadataSize);
    out.push_back(0xFF);
    out.push_back(0xD8);
    auto add = [&](const TJpegSegment& s) {
        out.push_back(0xFF);
        out.push_back(static_cast<std::uint8_t>(s.Marker));
        out.insert(out.end(), s.Data.begin(), s.Data.end());
    };
    if (exif_)
        add(Segments[*exif_]);
    else if (header_)
        add(Segments[*header_]);
    else
        out.insert(out.end(), DefaultJfifHeader.begin(), DefaultJfifHeader.end());
    if (iptc_) add(Segments[*iptc_]);
    if (comment_) add(Segments[*comment_]);
    for (const int i : carried_) add(Segments[i]);

    // Skip the encoder's own APP0, APP1, APP13 and COM, each once and in turn.
    std::size_t offset = 2;
    for (std::uint8_t marker : {0xE0, 0xE1, 0xED, 0xFE}) {
        if (encoded.size() < offset + 4 || encoded[offset + 1] != marker) continue;
        offset = std::min(encoded.size(), offset + 2 + (encoded[offset + 2] << 8 | encoded[offset + 3]));
    }
    if (offset < encoded.size()) out.insert(out.end(), encoded.begin() + static_cast<std::ptrdiff_t>(offset), encoded.end());
    return out;
}

void TJpegMetadata::WriteJpegWithMetadata(const std::vector<std::uint8_t>& encoded, int width, int height,
                                          const std::string& outputPath, const std::string& sourcePath,
                                          bool adjustSize) {
    const std::string& source = sourcePath.empty() ? outputPath : sourcePath;
    if (!ReadMetadata(source)) {
        WriteFileAtomically(outputPath, encoded);
        return;
    }
    WriteFileAtomically(outputPath, ComposeJpeg(encoded, width, height, adjustSize));
}

}  // namespace vantrel
