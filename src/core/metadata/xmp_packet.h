#pragma once

#include <cstddef>
#include <cstdint>
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
bool UpdateXmpDimensions(std::vector<std::uint8_t>& segmentData, int width, int height);

}  // namespace vantrel
