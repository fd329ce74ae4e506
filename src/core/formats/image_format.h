#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "imaging/bitmap.h"

namespace vantrel {

class InputFile;
struct SourceMetadata;

enum class ImageKind { None, Bmp, Jpeg, Tiff, Png, Raw };

struct ImageExtension {
    const char* text;  // compared case-sensitively, with its dot
    bool lensWindow;   // the lens window's own open reads it too
};

// One image file format: everything the program knows of it. Adding a
// format is one entry here and one codec file.
struct ImageFormat {
    ImageKind kind;
    const char* name;             // "JPEG"
    const char* commandName;      // for vantrel-align --format: "jpg"; null for a format only read
    const char* outputExtension;  // of the files written: ".jpg"; null for a format only read
    const char* mimeType;         // "image/jpeg", for the desktop's file associations
    std::vector<ImageExtension> extensions;
    bool carriesMetadata;  // a written file takes its source's metadata
    bool writesAlpha;      // can mark areas without a source transparent
    SampleDepth deepest;   // the deepest samples it writes
    // Reads a picture; `notice` gets a line for the user when it was
    // reduced to 8 bits. Throws InvalidPicture or IncompletePicture.
    Bitmap (*decode)(const InputFile& file, std::string& notice);
    // Null for a format only read (camera raw).
    // Writes a picture of `quality` (1..100, where the format has one) with
    // `alpha` (a byte a pixel, 0 transparent; null: opaque) where the format
    // writes alpha, and the source's metadata (null: none) where it carries it.
    std::vector<std::uint8_t> (*encode)(const Bitmap& image, const std::uint8_t* alpha, int quality,
                                        SourceMetadata* metadata);
    // What a source of this format has to carry; false when nothing.
    bool (*readMetadata)(const std::string& path, SourceMetadata& metadata);

    bool writable() const { return encode != nullptr; }
};

const std::vector<ImageFormat>& ImageFormats();
const ImageFormat& FormatOf(ImageKind kind);  // kind is not None

// The format that reads `path`, by its extension compared case-sensitively;
// None when no format does (".Jpg" among them).
ImageKind ImageKindOf(const std::string& path);
// Whether the lens window's own open reads `path`.
bool LensWindowReads(const std::string& path);
// The format of a --format argument; null when there is none.
const ImageFormat* FormatByCommandName(const std::string& name);

// "Pictures (*.bmp *.BMP ...)": every extension read, for open dialogs.
std::string PictureDialogFilter();
// Every extension read, joined by `separator`.
std::string ExtensionList(const std::string& separator);

}  // namespace vantrel
