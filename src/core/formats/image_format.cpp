#include "formats/image_format.h"

#include <algorithm>

#include "formats/bmp_codec.h"
#include "formats/jpeg_codec.h"
#include "formats/png_codec.h"
#include "formats/source_metadata.h"
#include "formats/tiff_codec.h"
#include "util/file_io.h"

namespace vantrel {

namespace {

Bitmap DecodeBmpEntry(const InputFile& file, std::string&) { return DecodeBmpFile(file); }
Bitmap DecodeJpegEntry(const InputFile& file, std::string&) { return DecodeJpegFile(file); }

std::vector<std::uint8_t> EncodeBmpEntry(const Bitmap& image, const std::uint8_t*, int, SourceMetadata*) {
    return EncodeBmp(image);
}

std::vector<std::uint8_t> EncodeJpegEntry(const Bitmap& image, const std::uint8_t*, int quality,
                                          SourceMetadata* metadata) {
    std::vector<std::uint8_t> encoded = EncodeJpeg(image, quality);
    if (TJpegMetadata* segments = metadata ? metadata->jpegSegments() : nullptr)
        return segments->ComposeJpeg(encoded, image.width(), image.height(), true);
    return encoded;
}

std::vector<std::uint8_t> EncodeTiffEntry(const Bitmap& image, const std::uint8_t* alpha, int,
                                          SourceMetadata* metadata) {
    return EncodeTiff(image, alpha, metadata ? metadata->forImage(image.width(), image.height()) : ImageMetadata());
}

std::vector<std::uint8_t> EncodePngEntry(const Bitmap& image, const std::uint8_t* alpha, int,
                                         SourceMetadata* metadata) {
    return EncodePng(image, alpha, metadata ? metadata->forImage(image.width(), image.height()) : ImageMetadata());
}

bool ReadJpegMetadataEntry(const std::string& path, SourceMetadata& m) { return m.jpeg.ReadMetadata(path); }

bool ReadTiffMetadataEntry(const std::string& path, SourceMetadata& m) {
    m.image = ReadTiffMetadata(InputFile(path));
    return !m.image.empty();
}

bool ReadPngMetadataEntry(const std::string& path, SourceMetadata& m) {
    m.image = ReadPngMetadata(InputFile(path));
    return !m.image.empty();
}

}  // namespace

const std::vector<ImageFormat>& ImageFormats() {
    static const std::vector<ImageFormat> formats = {
        {ImageKind::Bmp, "BMP", "bmp", ".bmp", "image/bmp", {{".bmp", true}, {".BMP", true}}, false, false, DecodeBmpEntry,
         EncodeBmpEntry, nullptr},
        {ImageKind::Jpeg, "JPEG", "jpg", ".jpg", "image/jpeg",
         {{".jpg", true}, {".JPG", true}, {".jpeg", true}, {".JPEG", true}, {".jpe", false}, {".JPE", false}}, true,
         false, DecodeJpegEntry, EncodeJpegEntry, ReadJpegMetadataEntry},
        {ImageKind::Tiff, "TIFF", "tif", ".tif", "image/tiff", {{".tif", true}, {".TIF", true}, {".tiff", true}, {".TIFF", true}},
         true, true, DecodeTiffFile, EncodeTiffEntry, ReadTiffMetadataEntry},
        {ImageKind::Png, "PNG", "png", ".png", "image/png", {{".png", true}, {".PNG", true}}, true, true, DecodePngFile,
         EncodePngEntry, ReadPngMetadataEntry},
    };
    return formats;
}

const ImageFormat& FormatOf(ImageKind kind) {
    const auto& all = ImageFormats();
    return *std::find_if(all.begin(), all.end(), [&](const ImageFormat& f) { return f.kind == kind; });
}

namespace {

const ImageExtension* ExtensionOf(const std::string& path, ImageKind* kind) {
    const std::string ext = FileExtension(path);
    for (const ImageFormat& f : ImageFormats())
        for (const ImageExtension& e : f.extensions)
            if (ext == e.text) {
                if (kind) *kind = f.kind;
                return &e;
            }
    return nullptr;
}

}  // namespace

ImageKind ImageKindOf(const std::string& path) {
    ImageKind kind = ImageKind::None;
    ExtensionOf(path, &kind);
    return kind;
}

bool LensWindowReads(const std::string& path) {
    const ImageExtension* e = ExtensionOf(path, nullptr);
    return e && e->lensWindow;
}

const ImageFormat* FormatByCommandName(const std::string& name) {
    for (const ImageFormat& f : ImageFormats())
        if (name == f.commandName) return &f;
    return nullptr;
}

std::string ExtensionList(const std::string& separator) {
    std::string list;
    for (const ImageFormat& f : ImageFormats())
        for (const ImageExtension& e : f.extensions) list += (list.empty() ? "" : separator) + e.text;
    return list;
}

std::string PictureDialogFilter() {
    std::string patterns;
    for (const ImageFormat& f : ImageFormats())
        for (const ImageExtension& e : f.extensions) patterns += (patterns.empty() ? "*" : " *") + std::string(e.text);
    return "Pictures (" + patterns + ")";
}

}  // namespace vantrel
