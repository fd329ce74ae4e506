#pragma once

#include <string>

#include "imaging/bitmap.h"
#include "util/file_io.h"

namespace vantrel {

// Shown when a BMP or JPEG file's content is rejected by its reader.
extern const char* const kInvalidPictureMessage;
// Said first when the file is cut short.
extern const char* const kIncompletePictureMessage;

enum class ImageKind { None, Bmp, Jpeg };


// Extensions are compared case-sensitively: ".bmp"/".BMP", ".jpg"/".JPG",
// ".jpeg"/".JPEG", ".jpe"/".JPE"; anything else (".Jpg" too) is no image.
ImageKind ImageKindOf(const std::string& path);

enum class LoadOutcome {
    Loaded,      // bitmap holds the picture
    NotAnImage,  // extension not accepted: bitmap empty, nothing to report
    Invalid,     // the reader rejected the content: bitmap empty
    Incomplete,  // the file ends before the picture: bitmap empty
};

// What the window says for a load that did not happen (empty for Loaded and NotAnImage).
std::string LoadFailureMessage(LoadOutcome outcome);

// Reads the file into `bitmap`, emptied first. A file that cannot be opened
// or read throws Error.
LoadOutcome LoadImageFile(const std::string& path, Bitmap& bitmap);

}  // namespace vantrel
