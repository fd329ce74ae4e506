#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace vantrel {

// TIFF structures (a TIFF file's directories, an EXIF block): read with
// every offset and size checked, written in one byte order.

// The size of one value of a TIFF field type; 0 for unknown types.
int TiffTypeSize(int type);

enum TiffType : std::uint16_t { kTiffByte = 1, kTiffAscii = 2, kTiffShort = 3, kTiffLong = 4, kTiffRational = 5,
                                 kTiffUndefined = 7 };

// Tags the program reads or writes by name.
enum TiffTag : std::uint16_t {
    kTagImageWidth = 256, kTagImageLength = 257, kTagBitsPerSample = 258, kTagCompression = 259,
    kTagPhotometric = 262, kTagStripOffsets = 273, kTagSamplesPerPixel = 277, kTagRowsPerStrip = 278,
    kTagStripByteCounts = 279, kTagXResolution = 282, kTagYResolution = 283, kTagPlanarConfig = 284,
    kTagResolutionUnit = 296, kTagPredictor = 317, kTagExtraSamples = 338, kTagSampleFormat = 339, kTagXmp = 700,
    kTagExifIfd = 34665, kTagMakerNote = 37500, kTagIccProfile = 34675, kTagGpsIfd = 34853, kTagInteropIfd = 40965,
};

struct TiffEntry {
    std::uint16_t tag = 0, type = 0;
    std::uint32_t count = 0;
    std::vector<std::uint8_t> value;       // count values, in the structure's byte order
    std::array<std::uint8_t, 4> field{};   // the entry's own value-or-offset field as read
    bool keepField = false;                // write `field` as it stands (its offset points into the same bytes)
};

struct TiffDirectory {
    std::vector<TiffEntry> entries;
    const TiffEntry* find(std::uint16_t tag) const;
};

class TiffReader {
public:
    // Bytes of the structure from `offset`: up to `count` (fewer at its end).
    using Fetch = std::function<std::vector<std::uint8_t>(std::uint64_t offset, std::size_t count)>;
    explicit TiffReader(Fetch fetch);

    bool valid() const { return valid_; }  // an "II*\0" or "MM\0*" header
    bool bigEndian() const { return bigEndian_; }
    std::uint32_t firstDirectory() const { return first_; }
    // The directory at `offset` with every value read; nothing when the
    // directory itself cannot be read. Entries whose values lie outside the
    // structure, or are absurdly large, are left out.
    std::optional<TiffDirectory> directory(std::uint32_t offset, std::uint32_t* next = nullptr) const;
    // A LONG, SHORT or IFD entry's first value as an offset or number.
    std::optional<std::uint32_t> number(const TiffEntry& entry) const;

    // Up to `count` bytes of the structure from `offset`.
    std::vector<std::uint8_t> fetch(std::uint64_t offset, std::size_t count) const { return fetch_(offset, count); }

    std::uint16_t get16(const std::uint8_t* p) const;
    std::uint32_t get32(const std::uint8_t* p) const;

private:
    Fetch fetch_;
    bool valid_ = false, bigEndian_ = false;
    std::uint32_t first_ = 0;
};

// A fetch over bytes in memory (which must outlive it).
TiffReader::Fetch BytesFetch(const std::uint8_t* data, std::size_t size);

// Appends to a TIFF structure: data and directories, offsets from its start.
class TiffWriter {
public:
    explicit TiffWriter(bool bigEndian);
    // Continues `start`, a structure with a TIFF header whose offsets stay valid.
    explicit TiffWriter(std::vector<std::uint8_t> start);

    bool bigEndian() const { return bigEndian_; }
    std::uint64_t size() const { return bytes_.size(); }
    void reserve(std::size_t size) { bytes_.reserve(size); }
    // Appends at an even offset and returns it. Throws Error past 4 GB.
    std::uint32_t append(const std::uint8_t* data, std::size_t size);
    // Writes a directory (entries sorted by tag, values over four bytes
    // appended first) and returns its offset.
    std::uint32_t directory(std::vector<TiffEntry> entries, std::uint32_t next = 0);
    void setFirstDirectory(std::uint32_t offset);
    std::vector<std::uint8_t> take() { return std::move(bytes_); }

    TiffEntry shorts(std::uint16_t tag, const std::vector<std::uint16_t>& values) const;
    TiffEntry longs(std::uint16_t tag, const std::vector<std::uint32_t>& values) const;
    TiffEntry rational(std::uint16_t tag, std::uint32_t numerator, std::uint32_t denominator) const;
    static TiffEntry bytes(std::uint16_t tag, std::uint16_t type, const std::vector<std::uint8_t>& data);

private:
    void put16(std::uint8_t* p, std::uint16_t v) const;
    void put32(std::uint8_t* p, std::uint32_t v) const;
    std::vector<std::uint8_t> bytes_;
    bool bigEndian_;
};

}  // namespace vantrel
