#pragma once

#include <string>

#include "metadata/image_metadata.h"

namespace vantrel {

// What a picture developed from a camera raw file carries of it, read with
// exiv2 (which knows the raw containers and makers' notes): camera,
// exposure, aperture, ISO, dates, lens, focal length and position, as a
// fresh EXIF block and an XMP packet. The raw's own image structure, preview
// and makers' notes stay behind. `linear`: the picture is developed linear,
// not in sRGB's colour space. Empty when the file cannot be read.
ImageMetadata ReadRawMetadata(const std::string& path, bool linear);

}  // namespace vantrel
