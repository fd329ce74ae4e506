#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel {

// Reads a Windows or OS/2 bitmap of 1, 2, 4, 8, 16, 24 or 32 bits per pixel
// (uncompressed, bit fields, RLE4, RLE8; bottom-up or top-down) into 24 bits.
// Throws InvalidPicture for anything malformed; never reads outside `data`.
Bitmap DecodeBmp(const std::uint8_t* data, std::size_t size);

class InputFile;
// The same from a file, reading no more of it than the header says the pixels need.
Bitmap DecodeBmpFile(const InputFile& file);

// A 24-bit bottom-up BITMAPINFOHEADER file.
std::vector<std::uint8_t> EncodeBmp(const Bitmap& bitmap);

}  // namespace vantrel
