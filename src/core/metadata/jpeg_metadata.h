#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel {

// A byte buffer read and written as 16- and 32-bit values at 1-based
// positions in one byte order. Every access is bounds-checked: a position
// outside the buffer throws MalformedBlock instead of reading past it.
class TByteOrderBuffer {
public:
    struct MalformedBlock {};

    bool MotorolaOrder = false;  // true = big-endian ("MM")

    std::uint16_t get16(const std::vector<std::uint8_t>& bytes, std::size_t position) const;
    std::uint32_t get32(const std::vector<std::uint8_t>& bytes, std::size_t position) const;
    void put16(std::vector<std::uint8_t>& bytes, std::size_t position, std::uint16_t value) const;
    void put32(std::vector<std::uint8_t>& bytes, std::size_t position, std::uint32_t value) const;
};

// One entry of a JPEG's segment table.
struct TJpegSegment {
    std::vector<std::uint8_t> Data;  // the two length bytes, then the payload
    int Marker = 0;                  // the byte after 0xFF
    int Size = 0;                    // the 16-bit length field
};

// The walk of an EXIF block's directories for the pixel dimensions.
class TExifDirectory : public TByteOrderBuffer {
public:
    int ExifWidth = 0, ExifHeight = 0;
    std::size_t ExifWidthPos = 0, ExifHeightPos = 0;  // 1-based value fields in the segment's Data
    int ExifWidthFormat = 0, ExifHeightFormat = 0;
    bool Malformed = false;  // a read would have left the block: never update it

    // Walks IFD0 and the sub-directories it points to.
    void Walk(const std::vector<std::uint8_t>& data, std::size_t position, int blockLength);

private:
    void WalkDirectory(const std::vector<std::uint8_t>& data, std::size_t position, int blockLength);
    std::vector<std::size_t> walked_;
};

// Walks an Exif APP1 segment's data (its two length bytes, "Exif\0\0", the
// TIFF structure) for the image size entries; `errorText` tells a bad
// byte-order mark.
TExifDirectory ReadExifDirectory(const std::vector<std::uint8_t>& data, std::string* errorText = nullptr);
// Writes width x height into the entries `dir` found, each in its own format;
// false when there are none or they cannot hold the size.
bool WriteExifDimensions(std::vector<std::uint8_t>& data, TExifDirectory& dir, int width, int height);

struct ImageMetadata;

// An APP2 ICC_PROFILE chunk with its sequence number and chunk count.
bool IsIccChunk(const TJpegSegment& segment);

// The JPEG metadata reader and writer: reads a source JPEG's segments up to
// its image data and writes a JPEG made of the source's metadata segments
// and freshly encoded image data.
class TJpegMetadata : public TByteOrderBuffer {
public:
    // Bounds of the walk to the image data; real files stay far below both.
    static constexpr std::size_t kMaxSegments = 65536;
    static constexpr std::uint64_t kMaxMetadataBytes = std::uint64_t{64} << 20;

    // True when `path` is a JPEG (by extension) with metadata before its
    // image data. Never throws.
    bool ReadMetadata(const std::string& path);
    // The same on bytes already in memory.
    bool ReadMetadataFromBytes(const std::vector<std::uint8_t>& file);
    // The segments a JPEG would hold for metadata taken from another format:
    // the EXIF block, the ICC profile in chunks and the XMP packet, each
    // where it fits a segment.
    bool ReadMetadataFrom(const ImageMetadata& metadata);
    bool HasMetadata() const { return exif_ || iptc_ || comment_ || !carried_.empty(); }

    // The output file's bytes: SOI; the source's EXIF block (dimensions set
    // to width x height when `adjustSize`) or its APP0 or a default JFIF
    // header; its first APP13 and last COM; every other metadata segment in
    // source order (XMP with its recorded size updated too, the ICC profile's
    // chunks in sequence); then `encoded` (a complete JPEG) from its first
    // segment that is none of APP0, APP1, APP13, COM in turn. Uses the
    // metadata of the last successful read.
    std::vector<std::uint8_t> ComposeJpeg(const std::vector<std::uint8_t>& encoded, int width, int height,
                                          bool adjustSize);

    // Reads `sourcePath` (or `outputPath` when empty) and writes `encoded` to
    // `outputPath` with that source's metadata, or as it is without any.
    // The file is written once, through a temporary file. Throws Error on a
    // write failure.
    void WriteJpegWithMetadata(const std::vector<std::uint8_t>& encoded, int width, int height,
                               const std::string& outputPath, const std::string& sourcePath, bool adjustSize);

    void UpdateExifDimensions(int width, int height);

    std::string ErrorText;
    // What the last read or conversion could not carry whole, for the user.
    std::vector<std::string> Notices;
    int SegmentCount = 0;
    std::vector<TJpegSegment> Segments;  // every segment before the image data
    // The first APP1 that is an Exif block, wherever it stands.
    const TJpegSegment* ExifSegment() const { return At(exif_); }
    const TJpegSegment* IptcSegment() const { return At(iptc_); }     // the first APP13
    const TJpegSegment* CommentSegment() const { return At(comment_); }  // the last COM
    const TJpegSegment* HeaderSegment() const { return At(header_); }    // the last APP0
    const TJpegSegment* XmpSegment() const { return At(xmp_); }          // the first standard XMP
    const TExifDirectory* Directory() const { return directory_ ? &*directory_ : nullptr; }
    // The segments written after the leading ones, in their order.
    std::vector<const TJpegSegment*> CarriedSegments() const;
    int IccChunkCount() const { return iccChunks_; }

    static const std::array<std::uint8_t, 18> DefaultJfifHeader;

private:
    class Source;
    void reset();
    bool ReadJpegSegments(Source& source);
    void Classify();
    void ParseExifBlock();
    const TJpegSegment* At(const std::optional<int>& i) const { return i ? &Segments[*i] : nullptr; }

    std::optional<int> exif_, iptc_, comment_, header_, xmp_;
    std::vector<int> carried_;
    int iccChunks_ = 0;
    std::optional<TExifDirectory> directory_;
};

}  // namespace vantrel
