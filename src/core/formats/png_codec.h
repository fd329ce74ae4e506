#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel {

class InputFile;
struct ImageMetadata;

// Reads a PNG with libpng: any colour type and bit depth, interlaced or not;
// transparency is dropped, 16 bits come out as 8 with a line in `notice`.
// Throws InvalidPicture, or IncompletePicture when the file is cut short.
Bitmap DecodePngFile(const InputFile& file, std::string& notice);
Bitmap DecodePng(const std::uint8_t* data, std::size_t size, std::string& notice);

// An 8-bit RGB PNG (RGBA with `alpha`) carrying `metadata` as eXIf, iCCP and
// an iTXt XMP packet.
std::vector<std::uint8_t> EncodePng(const Bitmap& image, const std::uint8_t* alpha, const ImageMetadata& metadata);

// The eXIf, iCCP and XMP chunks before a PNG's image data.
ImageMetadata ReadPngMetadata(const InputFile& file);
ImageMetadata ReadPngMetadata(const std::uint8_t* data, std::size_t size);

}  // namespace vantrel
