#pragma once

#include <deque>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "formats/image_format.h"
#include "imaging/bitmap.h"
#include "imaging/luminance.h"
#include "util/file_io.h"

namespace vantrel {

// Shown when a BMP or JPEG file's content is rejected by its reader.
extern const char* const kInvalidPictureMessage;
// Said first when the file is cut short.
extern const char* const kIncompletePictureMessage;

// The invalid-picture message for a file of `kind`: a TIFF or PNG one names
// every format read.
std::string InvalidPictureMessage(ImageKind kind);

enum class LoadOutcome {
    Loaded,      // bitmap holds the picture
    NotAnImage,  // extension not accepted: bitmap empty, nothing to report
    Invalid,     // the reader rejected the content: bitmap empty
    Incomplete,  // the file ends before the picture: bitmap empty
};

// What the window says for a load of `path` that did not happen (empty for
// Loaded and NotAnImage).
std::string LoadFailureMessage(LoadOutcome outcome, const std::string& path = {});

// Reads the file into `bitmap`, emptied first, by the format its extension
// names. `notice` (when given) gets a line for the user when the picture was
// reduced to 8 bits, else is emptied. A file that cannot be opened or read
// throws Error.
LoadOutcome LoadImageFile(const std::string& path, Bitmap& bitmap, std::string* notice = nullptr);

// A file read into memory, as LoadImageFile leaves it.
struct DecodedImage {
    LoadOutcome outcome = LoadOutcome::NotAnImage;
    Bitmap bitmap;
    std::string notice;
    // Measured on the reading thread, while the next file still decodes.
    std::optional<Lightness> lightness;
};

// Reads a list of files in order, each on a thread of its own, three at a
// time while the one before is in use, and measures each picture's lightness
// there: its histogram too unless `histograms` is false (a run that never
// shows them). An empty path reads as NotAnImage.
class ImagePrefetch {
public:
    explicit ImagePrefetch(std::vector<std::string> paths, bool histograms = true);
    ~ImagePrefetch();
    ImagePrefetch(const ImagePrefetch&) = delete;
    ImagePrefetch& operator=(const ImagePrefetch&) = delete;

    // The next file's picture; throws the Error its reading threw.
    DecodedImage take();

private:
    void start();
    std::vector<std::string> paths_;
    bool histograms_;
    std::size_t started_ = 0;
    std::deque<std::future<DecodedImage>> running_;
};

}  // namespace vantrel
