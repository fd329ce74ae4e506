#include "metadata/jpeg_metadata.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <filesystem>

#include "util/file_io.h"

namespace vantrel {

namespace {

// The sizes of the TIFF value formats; 0 for unknown codes.
int FormatSize(int format) {
    switch (format) {
        case 1: case 2: case 6: case 7: return 1;
        case 3: case 8: return 2;
        case 4: case 9: case 11: return 4;
        case 5: case 10: case 12: return 8;
        default: return 0;
    }
}

constexpr int kShort = 3, kLong = 4;
constexpr int kMaxDirectoryDepth = 16;

// Segment tables never need more of the file than 20 maximal segments.
constexpr std::size_t kMetadataPrefix = 2 + TJpegMetadata::kMaxSegments * (2 + 65535 + 16);

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

void TJpegMetadata::reset() {
    SegmentCount = 0;
    exif_.reset();
    iptc_.reset();
    comment_.reset();
    header_.reset();
    directory_.reset();
    ErrorText.clear();
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
    std::vector<std::uint8_t> head;
    try {
        head = ReadFilePrefix(path, kMetadataPrefix);
    } catch (...) {
        return false;
    }
    return ReadMetadataFromBytes(head);
}

bool TJpegMetadata::ReadMetadataFromBytes(const std::vector<std::uint8_t>& file) {
    const std::string error = ErrorText.empty() ? "Not an EXIF file" : ErrorText;
    reset();
    ErrorText = error;
    try {
        if (!ReadJpegSegments(file)) return false;
    } catch (...) {
        ErrorText = "Illegal Exif construction";
        return false;
    }
    ErrorText = "<none>";
    return true;
}

bool TJpegMetadata::ReadJpegSegments(const std::vector<std::uint8_t>& file) {
    const std::size_t size = file.size();
    if (size < 2 || file[0] != 0xFF || file[1] != 0xD8) return false;
    std::size_t pos = 2;
    while (SegmentCount < kMaxSegments) {
        int marker = 0xFF;
        while (marker == 0xFF) {
            if (pos >= size) return HasMetadata();
            marker = file[pos++];
        }
        // A segment cut short by the end of the file is not kept.
        if (size - pos < 2) return HasMetadata();
        const int length = file[pos] << 8 | file[pos + 1];
        if (length < 2 || size - pos < static_cast<std::size_t>(length)) return HasMetadata();
        const int index = SegmentCount++;
        TJpegSegment& segment = Segments[index];
        segment.Marker = marker;
        segment.Size = length;
        segment.Data.assign(file.begin() + static_cast<std::ptrdiff_t>(pos),
                            file.begin() + static_cast<std::ptrdiff_t>(pos + length));
        pos += length;
        if (SegmentCount == 5 && !HasMetadata()) break;
        switch (marker) {
            case 0xE1:
                if (SegmentCount <= 5 && !exif_) {
                    exif_ = index;
                    ParseExifBlock();
                } else {
                    --SegmentCount;  // a later APP1 is never kept
                }
                break;
            case 0xED:
                if (!iptc_) iptc_ = index;
                break;
            case 0xFE: comment_ = index; break;
            case 0xE0: header_ = index; break;
            case 0xDA:
            case 0xD9: return HasMetadata();
            default: break;
        }
    }
    return HasMetadata();
}

void TJpegMetadata::ParseExifBlock() {
    directory_.emplace();
    const TJpegSegment& segment = Segments[*exif_];
    const std::vector<std::uint8_t>& d = segment.Data;
    if (d.size() < 6 || std::memcmp(d.data() + 2, "Exif", 4) != 0) {
        ErrorText = "Incorrect Exif header";
        directory_->Malformed = true;
        return;
    }
    if (d.size() >= 10 && d[8] == 'I' && d[9] == 'I') {
        MotorolaOrder = false;
    } else if (d.size() >= 10 && d[8] == 'M' && d[9] == 'M') {
        MotorolaOrder = true;
    } else {
        ErrorText = "Invalid Exif alignment marker";
        directory_->Malformed = true;
        return;
    }
    directory_->MotorolaOrder = MotorolaOrder;
    try {
        const std::uint32_t offset = get32(d, 13);
        directory_->Walk(d, offset == 0 ? 17 : 9 + static_cast<std::size_t>(offset), segment.Size - 6);
    } catch (const MalformedBlock&) {
        directory_->Malformed = true;
    }
}

// ---- the writer ----

void TJpegMetadata::UpdateExifDimensions(int width, int height) {
    if (!exif_ || !directory_) return;
    TExifDirectory& dir = *directory_;
    if (dir.Malformed || dir.ExifWidth <= 0 || dir.ExifHeight <= 0) return;
    if (width == dir.ExifWidth && height == dir.ExifHeight) return;
    // Only value fields held in the entry itself, as SHORT or LONG, can take
    // the new size; a SHORT cannot hold more than 65535.
    auto writable = [&](int format, int value) {
        return format == kLong || (format == kShort && value <= 0xFFFF);
    };
    if (!writable(dir.ExifWidthFormat, width) || !writable(dir.ExifHeightFormat, height)) return;
    std::vector<std::uint8_t>& data = Segments[*exif_].Data;
    try {
        auto put = [&](std::size_t at, int format, int value) {
            if (format == kShort)
                put16(data, at, static_cast<std::uint16_t>(value));
            else
                put32(data, at, static_cast<std::uint32_t>(value));
        };
        put(dir.ExifHeightPos, dir.ExifHeightFormat, height);
        put(dir.ExifWidthPos, dir.ExifWidthFormat, width);
        dir.ExifWidth = width;
        dir.ExifHeight = height;
    } catch (const MalformedBlock&) {
    }
}

std::vector<std::uint8_t> TJpegMetadata::ComposeJpeg(const std::vector<std::uint8_t>& encoded, int width, int height,
                                                     bool adjustSize) {
    if (adjustSize && directory_) UpdateExifDimensions(width, height);
    std::vector<std::uint8_t> out;
    out.reserve(encoded.size() + 4 * 65540);
    out.push_back(0xFF);
    out.push_back(0xD8);
    auto add = [&](std::uint8_t marker, const TJpegSegment& s) {
        out.push_back(0xFF);
        out.push_back(marker);
        out.insert(out.end(), s.Data.begin(), s.Data.end());
    };
    if (exif_)
        add(0xE1, Segments[*exif_]);
    else if (header_)
        add(0xE0, Segments[*header_]);
    else
        out.insert(out.end(), DefaultJfifHeader.begin(), DefaultJfifHeader.end());
    if (iptc_) add(0xED, Segments[*iptc_]);
    if (comment_) add(0xFE, Segments[*comment_]);

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
