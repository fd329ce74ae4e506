// Image formats: the one table every place reads, and the TIFF and PNG codecs
// against files that libtiff and libpng themselves write and read.
#include <gtest/gtest.h>
#include <png.h>
#include <tiffio.h>

#include <unistd.h>

#include <csetjmp>
#include <cstring>
#include <filesystem>
#include <random>
#include <set>

#include "imaging/depth.h"
#include "formats/codec_error.h"
#include "formats/image_file.h"
#include "formats/png_codec.h"
#include "formats/tiff_codec.h"
#include "metadata/image_metadata.h"
#include "metadata/tiff_directory.h"
#include "save/image_writer.h"
#include "synthetic_brackets.h"
#include "workspace/workspace.h"
#include "test_support.h"
#include "util/file_io.h"

namespace vantrel {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

TEST(ImageFormats, EveryPlaceReadsTheSameExtensions) {
    const std::string filter = PictureDialogFilter();
    std::set<std::string> seen;
    for (const ImageFormat& f : ImageFormats()) {
        if (f.writable()) {
            EXPECT_EQ(FormatByCommandName(f.commandName), &f);
            EXPECT_EQ(ImageKindOf(std::string("out") + f.outputExtension), f.kind);
        }
        for (const ImageExtension& e : f.extensions) {
            EXPECT_TRUE(seen.insert(e.text).second) << e.text << " twice";
            EXPECT_EQ(ImageKindOf(std::string("/a/photo") + e.text), f.kind) << e.text;
            EXPECT_EQ(LensWindowReads(std::string("photo") + e.text), e.lensWindow) << e.text;
            std::string pattern = "*";
            pattern += e.text;
            const bool last = &f == &ImageFormats().back() && &e == &f.extensions.back();
            pattern += last ? ')' : ' ';  // the last closes the list
            EXPECT_NE(filter.find(pattern), std::string::npos) << e.text;
        }
    }
    // Case-sensitive lists; the lens window's own open takes no ".jpe".
    const struct {
        const char* path;
        ImageKind kind;
        bool lens;
    } cases[] = {
        {"a.jpg", ImageKind::Jpeg, true},   {"a.JPE", ImageKind::Jpeg, false}, {"a.Jpg", ImageKind::None, false},
        {"a.BMP", ImageKind::Bmp, true},    {"a.Bmp", ImageKind::None, false}, {"a.tiff", ImageKind::Tiff, true},
        {"a.Tif", ImageKind::None, false},  {"a.PNG", ImageKind::Png, true},   {"/d.jpg/a", ImageKind::None, false},
        {"a.jpg.zip", ImageKind::None, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ImageKindOf(c.path), c.kind) << c.path;
        EXPECT_EQ(LensWindowReads(c.path), c.lens) << c.path;
    }
    EXPECT_EQ(FormatByCommandName("gif"), nullptr);
}

// A checkerboard alpha with a transparent first column.
Bytes AlphaOf(int w, int h) {
    Bytes a(static_cast<std::size_t>(w) * h);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) a[static_cast<std::size_t>(y) * w + x] = x == 0 || (x / 3 + y / 2) % 2 ? 0 : 255;
    return a;
}

// Reads every pixel's alpha through libtiff's own RGBA interface.
Bytes TiffAlpha(const Bytes& file, int w, int h) {
    const fs::path path = fs::temp_directory_path() / "vantrel-alpha.tif";
    WriteFileAtomically(path.string(), file);
    Bytes alpha;
    if (TIFF* tif = TIFFOpen(path.c_str(), "r")) {
        std::vector<std::uint32_t> raster(static_cast<std::size_t>(w) * h);
        if (TIFFReadRGBAImageOriented(tif, w, h, raster.data(), ORIENTATION_TOPLEFT, 0))
            for (std::uint32_t p : raster) alpha.push_back(static_cast<std::uint8_t>(TIFFGetA(p)));
        TIFFClose(tif);
    }
    fs::remove(path);
    return alpha;
}

Bytes PngAlpha(const Bytes& file) {
    png_image image{};
    image.version = PNG_IMAGE_VERSION;
    Bytes rgba, alpha;
    if (png_image_begin_read_from_memory(&image, file.data(), file.size())) {
        image.format = PNG_FORMAT_RGBA;
        rgba.resize(PNG_IMAGE_SIZE(image));
        if (png_image_finish_read(&image, nullptr, rgba.data(), 0, nullptr))
            for (std::size_t i = 3; i < rgba.size(); i += 4) alpha.push_back(rgba[i]);
    }
    return alpha;
}

// A gradient at `depth` whose samples use every bit: 16-bit ones their low
// byte too, float ones fractions and light above white.
Bitmap DeepGradient(int w, int h, SampleDepth depth) {
    const Bitmap base = test::Gradient(w, h);
    Bitmap out(w, h, depth);
    for (int y = 0; y < h; ++y)
        for (int i = 0; i < 3 * w; ++i) {
            const int v = base.row(y)[i], wiggle = (i * 13 + y * 7) % 257;
            if (depth == SampleDepth::U8) out.row(y)[i] = static_cast<std::uint8_t>(v);
            if (depth == SampleDepth::U16) out.rowAs<std::uint16_t>(y)[i] = static_cast<std::uint16_t>(v * 257 - wiggle % (v * 257 + 1));
            if (depth == SampleDepth::Float) out.rowAs<float>(y)[i] = v / 255.0f * 3.0f + wiggle * 1e-5f;
        }
    return out;
}

TEST(TiffPng, WrittenFilesReadBackPixelForPixel) {
    for (const ImageKind kind : {ImageKind::Tiff, ImageKind::Png})
        for (const SampleDepth depth : {SampleDepth::U8, SampleDepth::U16, SampleDepth::Float})
            for (const auto& [w, h] : {std::pair{1, 1}, std::pair{37, 5}, std::pair{301, 203}})
                for (const bool withAlpha : {false, true}) {
                    if (kind == ImageKind::Png && depth == SampleDepth::Float) continue;  // PNG has no float
                    SCOPED_TRACE(std::string(FormatOf(kind).name) + " " + DepthName(depth) + " " + std::to_string(w) +
                                 "x" + std::to_string(h) + (withAlpha ? " alpha" : ""));
                    const Bitmap image = DeepGradient(w, h, depth);
                    const Bytes alpha = AlphaOf(w, h);
                    const Bytes file = FormatOf(kind).encode(image, withAlpha ? alpha.data() : nullptr, 90, nullptr);
                    std::string notice;
                    const Bitmap back = kind == ImageKind::Tiff ? DecodeTiff(file.data(), file.size(), notice)
                                                                : DecodePng(file.data(), file.size(), notice);
                    EXPECT_TRUE(notice.empty());
                    ASSERT_EQ(back.depth(), depth);
                    if (!withAlpha) {
                        EXPECT_TRUE(back.samePixels(image));
                        continue;
                    }
                    // Stored unassociated, the colour is the picture's wherever alpha is 255.
                    if (depth != SampleDepth::Float)  // libtiff's RGBA reader takes no float
                        EXPECT_EQ(kind == ImageKind::Tiff ? TiffAlpha(file, w, h) : PngAlpha(file), alpha);
                    for (int y = 0; y < h; ++y)
                        for (int x = 0; x < w; ++x) {
                            if (!alpha[static_cast<std::size_t>(y) * w + x]) continue;
                            const std::size_t px = static_cast<std::size_t>(image.pixelBytes());
                            ASSERT_EQ(0, std::memcmp(back.row(y) + px * x, image.row(y) + px * x, px));
                        }
                }
    // A TIFF led by a big-endian EXIF block is written in that byte order,
    // 16-bit and float samples too.
    TiffWriter exif(true);
    exif.setFirstDirectory(exif.directory({exif.shorts(274, {1})}));
    ImageMetadata metadata;
    metadata.exif = exif.take();
    for (const SampleDepth depth : {SampleDepth::U16, SampleDepth::Float}) {
        const Bitmap image = DeepGradient(23, 11, depth);
        const Bytes file = EncodeTiff(image, nullptr, metadata);
        ASSERT_EQ(file[0], 'M');
        std::string notice;
        EXPECT_TRUE(DecodeTiff(file.data(), file.size(), notice).samePixels(image)) << DepthName(depth);
    }
}

// ---- files the reference libraries write ----

struct TiffLayout {
    const char* name;
    int compression;
    int samples;  // 1 grey, 3 RGB, 4 RGBA
    int bits;     // 8 or 16
    bool tiled;
    int tolerance;
    int alpha = 255;  // with 4 samples, stored unassociated
    int sampleFormat = SAMPLEFORMAT_UINT;
    int rowsPerStrip = 8;
};

// `picture` (its green channel for grey) written by libtiff, with a second page.
Bytes WriteTiffWithLibtiff(const Bitmap& picture, const TiffLayout& layout) {
    const fs::path path = fs::temp_directory_path() / "vantrel-layout.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    const int w = picture.width(), h = picture.height(), spp = layout.samples, bytes = layout.bits / 8;
    for (int page = 0; page < 2; ++page) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, spp);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, layout.bits);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, spp == 1 ? PHOTOMETRIC_MINISBLACK : PHOTOMETRIC_RGB);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, layout.compression);
        TIFFSetField(tif, TIFFTAG_SAMPLEFORMAT, layout.sampleFormat);
        if (spp == 4) {
            const std::uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        if (layout.compression == COMPRESSION_JPEG) TIFFSetField(tif, TIFFTAG_JPEGQUALITY, 95);
        std::vector<std::uint8_t> row(static_cast<std::size_t>(w) * spp * bytes);
        auto fill = [&](int y) {
            const std::uint8_t* p = picture.row(y);
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < spp; ++c) {
                    const std::uint8_t v = page == 1 ? 0 : spp == 1 ? p[3 * x + 1] : c == 3 ? layout.alpha : p[3 * x + 2 - c];
                    std::uint8_t* at = row.data() + (static_cast<std::size_t>(x) * spp + c) * bytes;
                    if (layout.sampleFormat == SAMPLEFORMAT_IEEEFP) {
                        const float f = v / 255.0f;
                        std::memcpy(at, &f, 4);
                    } else {
                        std::fill(at, at + bytes, v);  // 16 bits: v * 257
                    }
                }
        };
        if (layout.tiled) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, 16);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, 16);
            const std::size_t tileRow = static_cast<std::size_t>(16) * spp * bytes;
            std::vector<std::uint8_t> tile(tileRow * 16);
            for (int ty = 0; ty < h; ty += 16)
                for (int tx = 0; tx < w; tx += 16) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (int y = ty; y < std::min(h, ty + 16); ++y) {
                        fill(y);
                        const int n = std::min(16, w - tx);
                        std::copy_n(row.begin() + static_cast<std::ptrdiff_t>(tx) * spp * bytes, n * spp * bytes,
                                    tile.begin() + static_cast<std::ptrdiff_t>((y - ty) * tileRow));
                    }
                    TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0);
                }
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, layout.rowsPerStrip);
            for (int y = 0; y < h; ++y) {
                fill(y);
                TIFFWriteScanline(tif, row.data(), y, 0);
            }
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    Bytes file = ReadWholeFile(path.string());
    fs::remove(path);
    return file;
}

TEST(TiffPng, EveryLayoutLibtiffWritesReadsBack) {
    const Bitmap picture = test::Gradient(45, 37);
    const TiffLayout layouts[] = {
        {"RGB, uncompressed strips", COMPRESSION_NONE, 3, 8, false, 0},
        {"RGB, LZW tiles", COMPRESSION_LZW, 3, 8, true, 0},
        {"RGBA, Deflate", COMPRESSION_ADOBE_DEFLATE, 4, 8, false, 0},
        {"grey, PackBits", COMPRESSION_PACKBITS, 1, 8, false, 0},
        {"16-bit RGB, Deflate tiles", COMPRESSION_ADOBE_DEFLATE, 3, 16, true, 0},
        {"RGB, JPEG", COMPRESSION_JPEG, 3, 8, false, 24},
        // Unassociated alpha: the colour is read as stored, never multiplied by it.
        {"RGBA, half transparent", COMPRESSION_LZW, 4, 8, false, 0, 128},
        {"RGBA, half transparent tiles", COMPRESSION_NONE, 4, 8, true, 0, 128},
        {"RGB, LZW, one strip", COMPRESSION_LZW, 3, 8, false, 0, 255, SAMPLEFORMAT_UINT, 37},
        {"16-bit grey, one strip", COMPRESSION_ADOBE_DEFLATE, 1, 16, false, 0, 255, SAMPLEFORMAT_UINT, 37},
        {"float RGB, LZW", COMPRESSION_LZW, 3, 32, false, 0, 255, SAMPLEFORMAT_IEEEFP},
        {"float RGBA tiles", COMPRESSION_ADOBE_DEFLATE, 4, 32, true, 0, 255, SAMPLEFORMAT_IEEEFP},
    };
    for (const TiffLayout& layout : layouts) {
        SCOPED_TRACE(layout.name);
        const Bytes file = WriteTiffWithLibtiff(picture, layout);
        std::string notice;
        const Bitmap deep = DecodeTiff(file.data(), file.size(), notice);
        ASSERT_EQ(deep.width(), 45);
        ASSERT_EQ(deep.height(), 37);
        // Read at the file's own depth, every sample exact.
        EXPECT_EQ(deep.depth(), layout.bits == 8    ? SampleDepth::U8
                                : layout.bits == 16 ? SampleDepth::U16
                                                    : SampleDepth::Float);
        EXPECT_EQ(deep.linear(), layout.bits == 32);
        EXPECT_TRUE(notice.empty()) << notice;
        const Bitmap back = ConvertDepth(deep, SampleDepth::U8);
        int worst = 0;
        for (int y = 0; y < 37; ++y)
            for (int x = 0; x < 45; ++x)
                for (int c = 0; c < 3; ++c) {
                    const int want = layout.samples == 1 ? test::Pixel(picture, x, y)[1] : test::Pixel(picture, x, y)[c];
                    worst = std::max(worst, std::abs(test::Pixel(back, x, y)[c] - want));
                }
        EXPECT_LE(worst, layout.tolerance);  // the first page, not the black second
    }
    // Signed samples would come out inverted and broken: refused.
    const Bytes signedFile = WriteTiffWithLibtiff(picture, {"signed", COMPRESSION_NONE, 3, 16, false, 0, 255, SAMPLEFORMAT_INT});
    std::string notice;
    EXPECT_THROW(DecodeTiff(signedFile.data(), signedFile.size(), notice), InvalidPicture);
}

// A picture in one tall strip is decoded once: read band by band, each band
// would decode the strip again from its start, and a small file would take
// minutes.
TEST(TiffPng, OneTallStripIsDecodedOnce) {
    const Bitmap picture = test::Gradient(16, 300000);
    const Bytes file = WriteTiffWithLibtiff(picture, {"tall", COMPRESSION_LZW, 3, 8, false, 0, 255, SAMPLEFORMAT_UINT, 300000});
    std::string notice;
    EXPECT_TRUE(DecodeTiff(file.data(), file.size(), notice).samePixels(picture));
}

// A PNG written by libpng's own writer in any colour type, depth and interlace.
Bytes WritePngWithLibpng(const Bitmap& picture, int colourType, int depth, bool interlaced, int paletteSize = 256) {
    Bytes out;
    png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
    png_infop info = png_create_info_struct(png);
    if (setjmp(png_jmpbuf(png))) {
        png_destroy_write_struct(&png, &info);
        return {};
    }
    png_set_write_fn(png, &out, [](png_structp p, png_bytep data, std::size_t n) {
        auto* o = static_cast<Bytes*>(png_get_io_ptr(p));
        o->insert(o->end(), data, data + n);
    }, nullptr);
    const int w = picture.width(), h = picture.height();
    png_set_IHDR(png, info, w, h, depth, colourType, interlaced ? PNG_INTERLACE_ADAM7 : PNG_INTERLACE_NONE,
                 PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
    std::vector<png_color> palette(256);
    for (int i = 0; i < 256; ++i) palette[i] = {static_cast<png_byte>(i), static_cast<png_byte>(255 - i), 7};
    if (colourType == PNG_COLOR_TYPE_PALETTE) png_set_PLTE(png, info, palette.data(), paletteSize);
    png_set_benign_errors(png, 1);  // a short palette is written as asked
    png_write_info(png, info);
    const int channels = colourType == PNG_COLOR_TYPE_RGB ? 3 : colourType == PNG_COLOR_TYPE_RGB_ALPHA ? 4
                         : colourType == PNG_COLOR_TYPE_GRAY_ALPHA ? 2 : 1;
    const int bytes = depth / 8;
    std::vector<Bytes> rows(static_cast<std::size_t>(h), Bytes(static_cast<std::size_t>(w) * channels * bytes));
    std::vector<png_bytep> pointers;
    for (int y = 0; y < h; ++y) {
        const std::uint8_t* p = picture.row(y);
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < channels; ++c) {
                const std::uint8_t v = channels >= 3 ? (c == 3 ? 200 : p[3 * x + 2 - c]) : c == 1 ? 200 : p[3 * x + 1];
                for (int b = 0; b < bytes; ++b) rows[y][(static_cast<std::size_t>(x) * channels + c) * bytes + b] = v;
            }
        pointers.push_back(rows[y].data());
    }
    png_write_image(png, pointers.data());
    png_write_end(png, info);
    png_destroy_write_struct(&png, &info);
    return out;
}

TEST(TiffPng, EveryKindOfPngLibpngWritesReadsBack) {
    const Bitmap picture = test::Gradient(29, 17);
    const struct {
        const char* name;
        int colourType, depth;
        bool interlaced;
    } kinds[] = {
        {"RGB", PNG_COLOR_TYPE_RGB, 8, false},          {"RGBA interlaced", PNG_COLOR_TYPE_RGB_ALPHA, 8, true},
        {"grey", PNG_COLOR_TYPE_GRAY, 8, false},        {"grey and alpha", PNG_COLOR_TYPE_GRAY_ALPHA, 8, false},
        {"16-bit RGB", PNG_COLOR_TYPE_RGB, 16, false},  {"palette", PNG_COLOR_TYPE_PALETTE, 8, true},
    };
    for (const auto& k : kinds) {
        SCOPED_TRACE(k.name);
        const Bytes file = WritePngWithLibpng(picture, k.colourType, k.depth, k.interlaced);
        std::string notice;
        const Bitmap deep = DecodePng(file.data(), file.size(), notice);
        EXPECT_TRUE(notice.empty());
        EXPECT_EQ(deep.depth(), k.depth == 16 ? SampleDepth::U16 : SampleDepth::U8);
        const Bitmap back = ConvertDepth(deep, SampleDepth::U8);  // 16 bits hold v * 257
        for (int y = 0; y < 17; ++y)
            for (int x = 0; x < 29; ++x) {
                const std::uint8_t* p = test::Pixel(picture, x, y);
                const std::uint8_t g = p[1];
                // BGR expected: grey repeats green; a palette index i is (i, 255 - i, 7) in RGB.
                const std::array<int, 3> want = k.colourType == PNG_COLOR_TYPE_PALETTE ? std::array<int, 3>{7, 255 - g, g}
                                                : (k.colourType & PNG_COLOR_MASK_COLOR) ? std::array<int, 3>{p[0], p[1], p[2]}
                                                                                        : std::array<int, 3>{g, g, g};
                for (int c = 0; c < 3; ++c) ASSERT_EQ(test::Pixel(back, x, y)[c], want[c]) << x << "," << y;
            }
    }
}

TEST(TiffPng, BrokenFilesAreRefusedAndCutOnesSaidSo) {
    const Bitmap picture = test::Gradient(120, 90);
    const Bytes tiff = FormatOf(ImageKind::Tiff).encode(picture, nullptr, 90, nullptr);
    const Bytes png = FormatOf(ImageKind::Png).encode(picture, nullptr, 90, nullptr);
    const Bytes cutPng(png.begin(), png.begin() + static_cast<std::ptrdiff_t>(png.size() / 2));
    // A directory whose strip lies past the end of the file: a file cut short.
    TiffWriter writer(false);
    writer.setFirstDirectory(writer.directory(
        {writer.longs(kTagImageWidth, {10}), writer.longs(kTagImageLength, {10}), writer.shorts(kTagBitsPerSample, {8, 8, 8}),
         writer.shorts(kTagCompression, {1}), writer.shorts(kTagPhotometric, {2}), writer.longs(kTagStripOffsets, {1000}),
         writer.shorts(kTagSamplesPerPixel, {3}), writer.longs(kTagRowsPerStrip, {10}), writer.longs(kTagStripByteCounts, {300})}));
    Bytes garbled = tiff;
    for (std::size_t i = 200; i < garbled.size() - 400; i += 7) garbled[i] ^= 0x5A;
    const struct {
        const char* name;
        Bytes file;
        bool tiffFile, incomplete;
    } cases[] = {
        {"PNG cut in half", cutPng, false, true},
        {"TIFF strip past the end", writer.take(), true, true},
        {"TIFF pixels garbled", garbled, true, false},
        {"empty", Bytes(), true, false},
        {"PNG signature only", Bytes(png.begin(), png.begin() + 8), false, true},
        {"TIFF header only", Bytes(tiff.begin(), tiff.begin() + 8), true, false},
        // Indices past a 16-colour palette name no colour (libpng would give black).
        {"PNG palette too short", WritePngWithLibpng(picture, PNG_COLOR_TYPE_PALETTE, 8, false, 16), false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_EQ(c.file.empty(), std::string(c.name) == "empty");
        std::string notice;
        try {
            c.tiffFile ? DecodeTiff(c.file.data(), c.file.size(), notice) : DecodePng(c.file.data(), c.file.size(), notice);
            ADD_FAILURE() << "read";
        } catch (const IncompletePicture&) {
            EXPECT_TRUE(c.incomplete);
        } catch (const InvalidPicture&) {
            EXPECT_FALSE(c.incomplete);
        }
    }
}

// An EXIF block far beyond any camera's is passed over, not read: the
// picture still opens, at once.
TEST(TiffPng, MetadataBeyondAnyRealFileIsPassedOver) {
    const Bitmap picture = test::Gradient(20, 10);
    ImageMetadata huge;
    huge.exif = {'M', 'M', 0, 42, 0, 0, 0, 8, 0, 0};
    huge.exif.resize(10u << 20);
    const Bytes file = EncodePng(picture, nullptr, huge);
    ASSERT_GT(file.size(), 10u << 20);
    EXPECT_TRUE(ReadPngMetadata(file.data(), file.size()).exif.empty());
    std::string notice;
    EXPECT_TRUE(DecodePng(file.data(), file.size(), notice).samePixels(picture));
}

TEST(ImagePrefetch, ReadsAheadInOrderAndHandsOnFailures) {
    const fs::path dir = fs::temp_directory_path() / "vantrel-prefetch";
    fs::create_directories(dir);
    const std::string a = (dir / "a.png").string(), b = (dir / "b.tif").string();
    WriteFileAtomically(a, FormatOf(ImageKind::Png).encode(test::Gradient(7, 5), nullptr, 90, nullptr));
    WriteFileAtomically(b, FormatOf(ImageKind::Tiff).encode(test::Gradient(9, 4), nullptr, 90, nullptr));
    ImagePrefetch prefetch({a, "", (dir / "missing.jpg").string(), (dir / "note.txt").string(), b});
    EXPECT_EQ(prefetch.take().bitmap.width(), 7);
    EXPECT_EQ(prefetch.take().outcome, LoadOutcome::NotAnImage);
    EXPECT_THROW(prefetch.take(), Error);
    EXPECT_EQ(prefetch.take().outcome, LoadOutcome::NotAnImage);
    const DecodedImage last = prefetch.take();
    EXPECT_TRUE(last.bitmap.samePixels(test::Gradient(9, 4)));
    // Measured where it was read, so a load need not go over the pixels again.
    Lightness expected;
    ComputeLuminance(last.bitmap, expected.mean, expected.histogram);
    ASSERT_TRUE(last.lightness);
    EXPECT_EQ(last.lightness->mean, expected.mean);
    EXPECT_EQ(last.lightness->histogram, expected.histogram);
    EXPECT_EQ(prefetch.take().outcome, LoadOutcome::NotAnImage);  // past the end
    fs::remove_all(dir);
}

// ---- crop to the common area, transparent borders ----

// The largest all-covered rectangle's area by trying every rectangle.
long long BruteForceLargest(const Bytes& mask, int w, int h) {
    std::vector<int> sum(static_cast<std::size_t>(w + 1) * (h + 1), 0);  // covered cells above and left
    auto at = [&](int x, int y) -> int& { return sum[static_cast<std::size_t>(y) * (w + 1) + x]; };
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            at(x + 1, y + 1) = at(x, y + 1) + at(x + 1, y) - at(x, y) + (mask[static_cast<std::size_t>(y) * w + x] ? 1 : 0);
    long long best = 0;
    for (int y0 = 0; y0 < h; ++y0)
        for (int y1 = y0 + 1; y1 <= h; ++y1)
            for (int x0 = 0; x0 < w; ++x0)
                for (int x1 = x0 + 1; x1 <= w; ++x1) {
                    const long long area = static_cast<long long>(x1 - x0) * (y1 - y0);
                    if (area > best && at(x1, y1) - at(x0, y1) - at(x1, y0) + at(x0, y0) == area) best = area;
                }
    return best;
}

TEST(CommonArea, LargestRectangleAsABruteForceSearchFindsIt) {
    std::mt19937 rng(5);
    for (int round = 0; round < 40; ++round) {
        const int w = 3 + static_cast<int>(rng() % 20), h = 2 + static_cast<int>(rng() % 15);
        Bytes mask(static_cast<std::size_t>(w) * h);
        const unsigned holes = 2 + rng() % 10;  // sparse to dense
        for (auto& m : mask) m = rng() % holes ? 255 : 0;
        const FrameRect r = LargestRectangle(mask, w, h);
        ASSERT_EQ(static_cast<long long>(r.width) * r.height, BruteForceLargest(mask, w, h)) << round;
        for (int y = r.top; y < r.top + r.height; ++y)
            for (int x = r.left; x < r.left + r.width; ++x) ASSERT_TRUE(mask[static_cast<std::size_t>(y) * w + x]);
    }
    EXPECT_TRUE(LargestRectangle(Bytes(12, 0), 4, 3).empty());
}

// A bracket of three 90 x 60 images: the master and two turned, scaled and
// shifted copies of a test picture.
struct Bracket {
    Workspace ws;
    Bracket() {
        const Bitmap picture = test::Gradient(90, 60);
        const test::Motion motions[] = {test::SimilarityAbout(90, 60, 0, 1, 0, 0),
                                        test::SimilarityAbout(90, 60, 3, 1.02, 4, -2),
                                        test::SimilarityAbout(90, 60, -2, 0.98, -3, 3)};
        for (int n = 1; n <= 3; ++n) {
            const test::Motion& m = motions[n - 1];
            ws.placeImage(n, test::Exposure(picture, 90, 60, [&](test::Point q) { return test::Unmap(m, q); }, 1, 0, 1),
                          "image" + std::to_string(n) + ".bmp");
            const test::Point p = m.map({20, 30}), q = m.map({70, 30});
            ws.setControlPoints(n, p.x, p.y, q.x, q.y);
        }
        ws.SelectMaster(1);
        ws.Recalculate(true);
    }
};

// A run that spends each drawn image on the next frame writes what a save
// that keeps them writes, whichever slot is the master and whether or not
// the master is saved as it stands.
TEST(WriteSlots, ReleasingTheImagesWritesTheSameFiles) {
    const fs::path dir = fs::temp_directory_path() / "vantrel-release-test";
    for (int masterSlot = 1; masterSlot <= kSlotCount; ++masterSlot)
        for (const Borders& borders : {Borders{}, Borders{3, 0, 2, 5}}) {
            fs::remove_all(dir);
            fs::create_directories(dir);
            std::vector<std::string> kept(kSlotCount), released(kSlotCount);
            for (int n = 0; n < kSlotCount; ++n) {
                kept[n] = (dir / ("kept" + std::to_string(n) + ".bmp")).string();
                released[n] = (dir / ("released" + std::to_string(n) + ".bmp")).string();
            }
            const SaveOptions options{ImageKind::Bmp, 90, borders};
            Bracket keeping, releasing;
            for (Bracket* b : {&keeping, &releasing}) {
                b->ws.SelectMaster(masterSlot);
                b->ws.Recalculate(true);
            }
            WriteSlots(keeping.ws, {true, true, true}, kept, options);
            WriteSlotsReleasing(releasing.ws, {true, true, true}, released, options);
            for (int n = 0; n < kSlotCount; ++n)
                EXPECT_EQ(ReadWholeFile(kept[n]), ReadWholeFile(released[n])) << "master " << masterSlot << ", image " << n + 1;
            EXPECT_TRUE(keeping.ws.slot(2).Loaded);
        }
    fs::remove_all(dir);
}

// Deep pictures go through Save All at their depth: aligned with identical
// control points, each comes out sample for sample as it went in, at its own
// depth by default and at the one asked for otherwise.
TEST(WriteSlots, DeepPicturesKeepEverySample) {
    const fs::path dir = fs::temp_directory_path() / ("vantrel-deep-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    Workspace ws;
    std::vector<Bitmap> pictures;
    for (int n = 1; n <= 3; ++n) {
        pictures.push_back(DeepGradient(97, 61, SampleDepth::U16));
        for (int y = 0; y < 61; ++y) pictures.back().rowAs<std::uint16_t>(y)[3 * n] ^= static_cast<std::uint16_t>(n * 1111);
        ws.placeImage(n, pictures.back(), "deep" + std::to_string(n) + ".tif");
        ws.setControlPoints(n, 12.25, 20.5, 80.75, 33);
    }
    ws.SelectMaster(2);
    ws.Recalculate(true);
    const struct {
        ImageKind format;
        std::optional<SampleDepth> depth;
        SampleDepth written;
    } cases[] = {{ImageKind::Tiff, std::nullopt, SampleDepth::U16},
                 {ImageKind::Png, std::nullopt, SampleDepth::U16},
                 {ImageKind::Tiff, SampleDepth::Float, SampleDepth::Float},
                 {ImageKind::Tiff, SampleDepth::U8, SampleDepth::U8},
                 {ImageKind::Png, SampleDepth::Float, SampleDepth::U16}};  // PNG's deepest
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(FormatOf(c.format).name) + " " + DepthName(c.written));
        SaveOptions options{c.format};
        options.depth = c.depth;
        std::vector<std::string> paths;
        for (int n = 1; n <= 3; ++n)
            paths.push_back((dir / ("out" + std::to_string(n) + FormatOf(c.format).outputExtension)).string());
        WriteSlots(ws, {true, true, true}, paths, options);
        for (int n = 0; n < 3; ++n) {
            Bitmap back;
            ASSERT_EQ(LoadImageFile(paths[n], back), LoadOutcome::Loaded);
            ASSERT_EQ(back.depth(), c.written);
            EXPECT_TRUE(back.samePixels(ConvertDepth(pictures[n], c.written))) << "image " << n + 1;
        }
    }
    fs::remove_all(dir);
}

TEST(CommonArea, EveryOutputIsTheLargestRectangleAllImagesCover) {
    Bracket b;
    const fs::path dir = fs::temp_directory_path() / "vantrel-crop-test";
    fs::remove_all(dir);
    fs::create_directories(dir);
    std::vector<std::string> paths(kSlotCount);
    for (int n = 0; n < kSlotCount; ++n) paths[n] = (dir / ("out" + std::to_string(n) + ".tif")).string();
    const SaveOptions options{ImageKind::Tiff, 90, Borders{9, 9, 9, 9}, true, true};  // the borders give way
    const FrameRect area = WriteSlots(b.ws, {true, true, true}, paths, options);

    // Independently: each master pixel whose centre the reference mapping
    // carries inside every image, and the best rectangle of those.
    const MasterGeometry master = b.ws.masterGeometry();
    Bytes covered(90 * 60, 255);
    for (int n = 2; n <= 3; ++n)
        for (int y = 0; y < 60; ++y)
            for (int x = 0; x < 90; ++x) {
                const SourcePosition p = MapToSource(master, b.ws.source(n), false, x - master.cp1X, y - master.cp1Y, false);
                if (!(p.x >= 0.5 && p.x <= 89.5 && p.y >= 0.5 && p.y <= 59.5)) covered[static_cast<std::size_t>(y) * 90 + x] = 0;
            }
    EXPECT_NEAR(static_cast<double>(area.width) * area.height, static_cast<double>(BruteForceLargest(covered, 90, 60)),
                area.width + area.height + 1.0);  // maximal to a pixel on each side
    for (const std::string& path : paths) {
        const Bytes file = ReadWholeFile(path);
        std::string notice;
        const Bitmap out = DecodeTiff(file.data(), file.size(), notice);
        EXPECT_EQ(out.width(), area.width);
        EXPECT_EQ(out.height(), area.height);
        const Bytes alpha = TiffAlpha(file, area.width, area.height);
        EXPECT_EQ(std::count(alpha.begin(), alpha.end(), 255), static_cast<long>(alpha.size())) << "a filled pixel";
    }
    fs::remove_all(dir);
}

TEST(CommonArea, AlphaIsZeroExactlyWhereTheSaveFillsGrey) {
    Bracket b;
    const MasterGeometry master = b.ws.masterGeometry();
    const Borders borders{6, 4, 2, 8};
    for (const ImageKind kind : {ImageKind::Tiff, ImageKind::Png}) {
        SCOPED_TRACE(FormatOf(kind).name);
        const fs::path path = fs::temp_directory_path() / (std::string("vantrel-alpha") + FormatOf(kind).outputExtension);
        Bitmap frame;
        WriteAlignedImage(b.ws.source(2), false, master, {kind, 90, borders, false, true}, path.string(), frame, nullptr);
        const Bytes file = ReadWholeFile(path.string());
        const Bytes alpha = kind == ImageKind::Tiff ? TiffAlpha(file, 102, 68) : PngAlpha(file);
        // The fill: what changes with the grey it is filled with.
        AlignedSource dark = b.ws.source(2), light = dark;
        dark.luminance = 0;
        light.luminance = 255;
        Bitmap withDark(102, 68), withLight(102, 68);
        WarpFullSize(dark, false, master, borders, withDark);
        WarpFullSize(light, false, master, borders, withLight);
        ASSERT_EQ(alpha.size(), 102u * 68u);
        int filled = 0;
        for (int y = 0; y < 68; ++y)
            for (int x = 0; x < 102; ++x) {
                const bool fill = test::Pixel(withDark, x, y)[0] != test::Pixel(withLight, x, y)[0];
                filled += fill;
                ASSERT_EQ(alpha[static_cast<std::size_t>(y) * 102 + x], fill ? 0 : 255) << x << "," << y;
            }
        EXPECT_GT(filled, 500);
        fs::remove(path);
    }
}

}  // namespace
}  // namespace vantrel
