#include "imaging/image_file.h"

#include <filesystem>

#include "imaging/bmp_codec.h"
#include "imaging/codec_error.h"
#include "imaging/jpeg_codec.h"
#include "util/file_io.h"

namespace vantrel {

const char* const kInvalidPictureMessage =
    "The file/s that you have just tried to open may not be valid.\n\n"
    "This program can only accept valid bitmap or jpeg files\n"
    "with the following file extensions\n"
    ".bmp  .BMP  .jpg  .JPG  .jpeg  .JPEG  .jpe  .JPE\n\n"
    "Please check your files and try again.";

const char* const kIncompletePictureMessage = "The file is incomplete: it ends before the whole picture.";

std::string LoadFailureMessage(LoadOutcome outcome) {
    if (outcome == LoadOutcome::Incomplete) return std::string(kIncompletePictureMessage) + "\n\n" + kInvalidPictureMessage;
    return outcome == LoadOutcome::Invalid ? kInvalidPictureMessage : "";
}

ImageKind ImageKindOf(const std::string& path) {
    const std::string ext = FileExtension(path);
    if (ext == ".bmp" || ext == ".BMP") return ImageKind::Bmp;
    if (ext == ".jpg" || ext == ".JPG" || ext == ".jpeg" || ext == ".JPEG" || ext == ".jpe" || ext == ".JPE")
        return ImageKind::Jpeg;
    return ImageKind::None;
}

LoadOutcome LoadImageFile(const std::string& path, Bitmap& bitmap) {
    bitmap.resize(0, 0);
    const ImageKind kind = ImageKindOf(path);
    if (kind == ImageKind::None) return LoadOutcome::NotAnImage;
    const InputFile file(path);
    try {
        bitmap = kind == ImageKind::Bmp ? DecodeBmpFile(file) : DecodeJpegFile(file);
    } catch (const IncompletePicture&) {
        bitmap.resize(0, 0);
        return LoadOutcome::Incomplete;
    } catch (const InvalidPicture&) {
        bitmap.resize(0, 0);
        return LoadOutcome::Invalid;
    }
    return LoadOutcome::Loaded;
}

}  // namespace vantrel
