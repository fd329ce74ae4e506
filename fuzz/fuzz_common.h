#pragma once

#include <cstddef>
#include <cstdint>

#include "imaging/bitmap.h"
#include "formats/codec_error.h"

// Decodes one input; a refusal is fine, anything else (crash, sanitizer
// report, a bitmap whose rows are not all there) is a finding.
template <class Decode>
int FuzzDecoder(Decode decode, const std::uint8_t* data, std::size_t size) {
    try {
        const vantrel::Bitmap b = decode(data, size);
        volatile std::uint8_t sink = 0;
        for (int y = 0; y < b.height(); ++y) sink = sink + b.row(y)[b.width() * b.pixelBytes() - 1];
    } catch (const vantrel::InvalidPicture&) {
    }
    return 0;
}
