#include <cstddef>
#include <cstdint>

#include "imaging/codec_error.h"
#include "imaging/jpeg_codec.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    try {
        const vantrel::Bitmap b = vantrel::DecodeJpeg(data, size);
        volatile std::uint8_t sink = 0;
        for (int y = 0; y < b.height(); ++y) sink = sink + b.row(y)[b.width() * 3 - 1];
    } catch (const vantrel::InvalidPicture&) {
    }
    return 0;
}
