#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel {

class InputFile;

// Decodes a JPEG at full size into 24-bit colour (greyscale and CMYK come out
// as colour). Throws InvalidPicture on any decoding error, IncompletePicture
// when the data ends before the picture; never exits.
Bitmap DecodeJpeg(const std::uint8_t* data, std::size_t size);
// The same, streamed from a file rather than read into memory first.
Bitmap DecodeJpegFile(const InputFile& file);

// Encodes a 24-bit image with libjpeg's defaults and the given quality (1..100).
std::vector<std::uint8_t> EncodeJpeg(const Bitmap& bitmap, int quality);

}  // namespace vantrel
