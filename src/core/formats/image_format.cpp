#include "formats/image_format.h"

#include <algorithm>

#include "formats/bmp_codec.h"
#include "formats/jpeg_codec.h"
#include "formats/png_codec.h"
#include "formats/raw_codec.h"
#include "formats/source_metadata.h"
#include "formats/tiff_codec.h"
#include "imaging/depth.h"
#include "metadata/raw_metadata.h"
#include "util/file_io.h"

namespace vantrel {

namespace {

Bitmap DecodeBmpEntry(const InputFile& file, std::string&) { return DecodeBmpFile(file); }
Bitmap DecodeJpegEntry(const InputFile& file, std::string&) { return DecodeJpegFile(file); }

// 8-bit formats take a deeper picture rounded to 8 bits.
Bitmap EightBit(const Bitmap& image) { return ConvertDepth(image, SampleDepth::U8); }

std::vector<std::uint8_t> EncodeBmpEntry(const Bitmap& image, const std::uint8_t*, int, SourceMetadata*) {
    return EncodeBmp(image.deep() ? EightBit(image) : image);
}

std::vector<std::uint8_t> EncodeJpegEntry(const Bitmap& image, const std::uint8_t*, int quality,
                                          SourceMetadata* metadata) {
    std::vector<std::uint8_t> encoded = EncodeJpeg(image.deep() ? EightBit(image) : image, quality);
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
    const ImageMetadata carried = metadata ? metadata->forImage(image.width(), image.height()) : ImageMetadata();
    if (image.depth() == SampleDepth::Float) return EncodePng(ConvertDepth(image, SampleDepth::U16), alpha, carried);
    return EncodePng(image, alpha, carried);
}

bool ReadJpegMetadataEntry(const std::string& path, SourceMetadata& m) { return m.jpeg.ReadMetadata(path); }

bool ReadTiffMetadataEntry(const std::string& path, SourceMetadata& m) {
    m.image = ReadTiffMetadata(InputFile(path));
    return !m.image.empty();
}

bool ReadRawMetadataEntry(const std::string& path, SourceMetadata& m) {
    m.image = ReadRawMetadata(path, CurrentRawDevelopment() == RawDevelopment::Linear);
    return !m.image.empty();
}

// Every raw container LibRaw develops, as cameras name them.
std::vector<ImageExtension> RawExtensions() {
    static constexpr const char* kNames[] = {
        ".3fr", ".3FR", ".arw", ".ARW", ".cr2", ".CR2", ".cr3", ".CR3", ".crw", ".CRW", ".dcr", ".DCR",
        ".dng", ".DNG", ".erf", ".ERF", ".iiq", ".IIQ", ".kdc", ".KDC", ".mef", ".MEF", ".mos", ".MOS",
        ".mrw", ".MRW", ".nef", ".NEF", ".nrw", ".NRW", ".orf", ".ORF", ".pef", ".PEF", ".raf", ".RAF",
        ".rw2", ".RW2", ".rwl", ".RWL", ".sr2", ".SR2", ".srf", ".SRF", ".srw", ".SRW", ".x3f", ".X3F"};
    std::vector<ImageExtension> list;
    for (const char* name : kNames) list.push_back({name, true});
    return list;
}

bool ReadPngMetadataEntry(const std::string& path, SourceMetadata& m) {
    m.image = ReadPngMetadata(InputFile(path));
    return !m.image.empty();
}

}  // namespace

const std::vector<ImageFormat>& ImageFormats() {
    static const std::vector<ImageFormat> formats = {
        {ImageKind::Bmp, "BMP", "bmp", ".bmp", "image/bmp", {{".bmp", true}, {".BMP", true}}, false, false,
         SampleDepth::U8, DecodeBmpEntry,
         EncodeBmpEntry, nullptr},
        {ImageKind::Jpeg, "JPEG", "jpg", ".jpg", "image/jpeg",
         {{".jpg", true}, {".JPG", true}, {".jpeg", true}, {".JPEG", true}, {".jpe", false}, {".JPE", false}}, true,
         false, SampleDepth::U8, DecodeJpegEntry, EncodeJpegEntry, ReadJpegMetadataEntry},
        {ImageKind::Tiff, "TIFF", "tif", ".tif", "image/tiff", {{".tif", true}, {".TIF", true}, {".tiff", true}, {".TIFF", true}},
         true, true, SampleDepth::Float, DecodeTiffFile, EncodeTiffEntry, ReadTiffMetadataEntry},
        {ImageKind::Png, "PNG", "png", ".png", "image/png", {{".png", true}, {".PNG", true}}, true, true,
         SampleDepth::U16, DecodePngFile,
         EncodePngEntry, ReadPngMetadataEntry},
        // Developed at 16 bits; never written.
        {ImageKind::Raw, "camera raw", nullptr, nullptr, "image/x-dcraw", RawExtensions(), true, false,
         SampleDepth::U16, DecodeRawFile, nullptr, ReadRawMetadataEntry},
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
        if (f.commandName && name == f.commandName) return &f;
    return nullptr;
}

std::string ExtensionList(const std::string& separator) {
    std::string list;
    for (const ImageFormat& f : ImageFormats()) {
        // Raw containers are too many to name one by one.
        if (f.kind == ImageKind::Raw) {
            list += separator + "camera raw (.dng .cr2 .cr3 .nef .arw .orf .raf .rw2 .pef ...)";
            continue;
        }
        for (const ImageExtension& e : f.extensions) list += (list.empty() ? "" : separator) + e.text;
    }
    return list;
}

std::string PictureDialogFilter() {
    std::string patterns;
    for (const ImageFormat& f : ImageFormats())
        for (const ImageExtension& e : f.extensions) patterns += (patterns.empty() ? "*" : " *") + std::string(e.text);
    return "Pictures (" + patterns + ")";
}

}  // namespace vantrel
