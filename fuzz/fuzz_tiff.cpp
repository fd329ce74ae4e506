// The TIFF reader, its metadata reader, and the writer on the metadata read.
#include "fuzz_common.h"
#include "formats/tiff_codec.h"
#include "metadata/image_metadata.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string notice;
    FuzzDecoder([&](const std::uint8_t* d, std::size_t n) { return vantrel::DecodeTiff(d, n, notice); }, data, size);
    vantrel::ImageMetadata metadata = vantrel::ReadTiffMetadata(data, size);
    metadata.setImageSize(5, 3);
    const auto out = vantrel::EncodeTiff(vantrel::Bitmap(5, 3), nullptr, metadata);
    FuzzDecoder([&](const std::uint8_t* d, std::size_t n) { return vantrel::DecodeTiff(d, n, notice); }, out.data(),
                out.size());
    return 0;
}
