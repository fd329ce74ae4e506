#pragma once

#include <string>

#include "imaging/bitmap.h"
#include "lens/distortion.h"
#include "save/image_writer.h"

namespace vantrel {

// The lens window's save of one corrected image: `source` corrected at full
// size with the model, written as <directory>/<source file name>_Corrected<A x
// 1000> and the format's extension; a format that carries metadata takes the
// source file's. Returns the path written. Throws Error.
std::string WriteCorrectedImage(const LensModel& model, const Bitmap& source, const std::string& sourcePath,
                                const std::string& directory, ImageKind format, int quality);

}  // namespace vantrel
