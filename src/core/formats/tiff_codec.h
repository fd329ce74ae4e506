#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel {

class InputFile;
struct ImageMetadata;

// Reads the first page of a TIFF with libtiff: 8- or 16-bit RGB, RGBA, grey
// or palette; strips or tiles; uncompressed, LZW, Deflate, PackBits, JPEG.
// 16 bits come out as 8 with a line in `notice`. Rows as stored. Throws
// InvalidPicture, or IncompletePicture when the pixel data runs past the
// end of the file.
Bitmap DecodeTiffFile(const InputFile& file, std::string& notice);
Bitmap DecodeTiff(const std::uint8_t* data, std::size_t size, std::string& notice);

// An 8-bit RGB TIFF (RGBA with `alpha`), Deflate with horizontal
// prediction, carrying `metadata`: its EXIF block leads the file unchanged
// (its directories and a maker note's offsets stay valid) and the new first
// directory takes over the block's descriptive entries.
std::vector<std::uint8_t> EncodeTiff(const Bitmap& image, const std::uint8_t* alpha, const ImageMetadata& metadata);

// A TIFF file's EXIF, GPS, ICC and XMP.
ImageMetadata ReadTiffMetadata(const InputFile& file);
ImageMetadata ReadTiffMetadata(const std::uint8_t* data, std::size_t size);

}  // namespace vantrel
