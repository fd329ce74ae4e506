#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace vantrel {

// The identifiers that open XMP APP1 segments. Arrays, not views of a
// literal: an inline view's pointer may name a different copy of the
// literal in each translation unit.
inline constexpr char kXmpIdentifier[] = "http://ns.adobe.com/xap/1.0/";
inline constexpr char kExtendedXmpIdentifier[] = "http://ns.adobe.com/xmp/extension/";

// An identifier as it stands in a segment, its zero byte included.
template <std::size_t N>
constexpr std::string_view SegmentIdentifier(const char (&identifier)[N]) {
    return {identifier, N};
}

// Sets the image size an XMP APP1 segment records (exif:PixelXDimension,
// exif:PixelYDimension, tiff:ImageWidth, tiff:ImageLength, as attributes or
// elements) to width x height. `segmentData` is the segment's two length
// bytes, the identifier and the packet. The segment keeps its length: a
// value that grows or shrinks takes or gives the difference in the packet's
// padding before its "<?xpacket end" trailer. Without room there, or when the
// packet is not plain XMP, nothing changes. True when something changed.
// With `mayGrow` (a TIFF's or PNG's packet, which has no fixed length), a
// value that needs more room than the padding holds makes the packet longer.
bool UpdateXmpDimensions(std::vector<std::uint8_t>& segmentData, int width, int height, bool mayGrow = false);

// The packet in UTF-8, as TIFF and PNG require: a UTF-16 or UTF-32 one (by
// its byte-order mark or its first '<') is converted, a leading byte-order
// mark dropped; others come back as they are.
std::string XmpAsUtf8(std::string_view packet);

// The GUID the main packet names for its Extended XMP (xmpNote:HasExtendedXMP);
// empty when it names none.
std::string ExtendedXmpGuid(std::string_view packet);

// The main packet with the Extended XMP's descriptions merged into its
// rdf:RDF and the pointer to them removed; `extended` empty: the pointer
// alone removed (the extension is not carried).
std::string MergeExtendedXmp(std::string_view packet, std::string_view extended);

// A packet too large for one JPEG segment as a JPEG carries it: a small main
// packet naming an Extended XMP that holds the whole packet, in segments' data
// (identifier, GUID, full length, offset, part) of at most `maxData` bytes.
struct SplitXmp {
    std::string main;
    std::vector<std::vector<std::uint8_t>> extendedSegments;  // each without the two length bytes
};
SplitXmp SplitXmpForJpeg(std::string_view packet, std::size_t maxData);

}  // namespace vantrel
