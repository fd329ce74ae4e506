// The metadata readers on arbitrary bytes, then the writer on what they read.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "metadata/exif_tags.h"
#include "metadata/jpeg_metadata.h"
#include "metadata/xmp_packet.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::vector<std::uint8_t> encoded = {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x04, 0x00, 0x00,
                                                      0xFF, 0xDA, 0x00, 0x02, 0xFF, 0xD9};
    (void)vantrel::ReadTiffTags(data, size).HalfFieldOfView(4000, 3000);
    std::vector<std::uint8_t> xmp = {0, 0};
    const std::string_view identifier = vantrel::SegmentIdentifier(vantrel::kXmpIdentifier);
    xmp.insert(xmp.end(), identifier.begin(), identifier.end());
    xmp.insert(xmp.end(), data, data + size);
    const std::size_t length = xmp.size();
    vantrel::UpdateXmpDimensions(xmp, 1234567, 89);
    if (xmp.size() != length) __builtin_trap();  // the segment keeps its length
    vantrel::TJpegMetadata meta;
    if (meta.ReadMetadataFromBytes(std::vector<std::uint8_t>(data, data + size))) {
        const auto out = meta.ComposeJpeg(encoded, 1234, 567, true);
        volatile std::uint8_t sink = out.back();
        (void)sink;
    }
    return 0;
}
